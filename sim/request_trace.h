#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The requests a simulated device received, one line each, in order. Kept in memory for the tests and,
// when a file is named, appended to it line by line as they happen, so that a rehearsal that is killed
// still shows every request up to that moment.
class RequestTrace {
public:
    RequestTrace() = default;
    // Creates the file afresh; throws std::runtime_error when it cannot be created.
    explicit RequestTrace(const std::wstring& path);

    void Record(const std::string& line);
    const std::vector<std::string>& Lines() const { return lines; }

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, FileCloser> file;
    std::vector<std::string> lines;
};
