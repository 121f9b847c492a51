#pragma once

#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/text_conversion.h"
#include "tests/support/tool_texts.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// What the end-to-end tests share: another Windows version for one program.
namespace E2e {

// Gives one program, named by its file name, another Windows version under Wine for as long as it lives.
class WineVersionOverride {
public:
    WineVersionOverride(const std::wstring& programName, const std::wstring& version);
    WineVersionOverride(const WineVersionOverride&) = delete;
    WineVersionOverride& operator=(const WineVersionOverride&) = delete;
    ~WineVersionOverride();

private:
    std::wstring keyPath;
};

} // namespace E2e
