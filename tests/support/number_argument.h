#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace TestSupport {

// The number, decimal or 0x hexadecimal, after `name` in a test program's own argument such as --seed=7;
// nothing when the argument is another. Throws std::invalid_argument or std::out_of_range for a bad number.
std::optional<std::uint64_t> NumberArgument(const std::string& argument, const std::string& name);

} // namespace TestSupport
