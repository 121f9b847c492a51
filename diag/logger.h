#pragma once

#include "diag/log_file.h"

#include <cstdint>
#include <string>
#include <string_view>

// The one output channel of the tool. Every message goes to the log file; in debug mode the console shows
// the same text, each piece as soon as it is inserted. The Logger adds nothing to the text: no prefix, no
// time stamp, no line end. Insertions never throw and never fail the run: a destination that cannot take
// text is silently left behind.
class Logger {
    LogFile logFile;

public:
    Logger(LogFile logFile, bool debugMode);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    Logger& operator<<(const wchar_t* text);
    // Each byte becomes the character of the same code, so narrow text reaches both destinations unchanged.
    Logger& operator<<(const char* text);
    Logger& operator<<(const std::wstring& text);
    Logger& operator<<(std::uint32_t number);

    // Fixed for the whole run.
    const bool debugMode;

private:
    void Write(std::wstring_view text);
};

// True when the environment variable ZELT_QUILLON_DEBUG holds exactly "1".
bool IsDebugModeRequested();

// The process-wide Logger, created during static initialisation before the entry point runs.
extern Logger* const logger;
