#pragma once

#include <string>

// The unit tests' process-wide Logger writes to a log file of its own in the temporary folder, so that
// test programs running side by side never share one.
const std::wstring& UnitLogPath();

// The bytes that the process-wide Logger writes to its file from the capture's creation on.
class LogCapture {
public:
    LogCapture();
    std::string Text() const;

private:
    std::size_t start;
};
