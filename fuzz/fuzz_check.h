#pragma once

#include <cstdio>
#include <cstdlib>

// What every fuzz target asserts beyond the sanitizers: a property that fails prints its name and aborts,
// which libFuzzer reports as a crash and keeps the input of.
namespace Fuzz {

inline void Check(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property failed: %s\n", property);
        std::abort();
    }
}

} // namespace Fuzz
