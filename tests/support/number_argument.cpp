#include "tests/support/number_argument.h"

namespace TestSupport {

std::optional<std::uint64_t> NumberArgument(const std::string& argument, const std::string& name) {
    if (argument.rfind(name, 0) != 0) {
        return std::nullopt;
    }
    return std::stoull(argument.substr(name.size()), nullptr, 0);
}

} // namespace TestSupport
