#include "tests/unit/unit_logger.h"

#include "diag/logger.h"
#include "tests/support/files.h"

#include <windows.h>

#include <array>
#include <cstdlib>

const std::wstring& UnitLogPath() {
    static const std::wstring path = [] {
        std::array<wchar_t, MAX_PATH + 1> temp{};
        GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
        return std::wstring(temp.data()) + L"quillon-unit-" + std::to_wstring(GetCurrentProcessId()) +
               L".log";
    }();
    return path;
}

Logger* const logger = [] {
    auto* created = new Logger(LogFile(UnitLogPath()), false);
    // Without the handler only the unit tests' log file stays behind.
    static_cast<void>(std::atexit([] {
        delete logger;
        DeleteFileW(UnitLogPath().c_str());
    }));
    return created;
}();

LogCapture::LogCapture() : start(TestSupport::ReadBytes(UnitLogPath()).size()) {}

std::string LogCapture::Text() const {
    return TestSupport::ReadBytes(UnitLogPath()).substr(start);
}
