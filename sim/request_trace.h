#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The requests a simulated device received, one line each, in order: appended to a file line by line as
// they happen, so that a rehearsal that is killed still shows every request up to that moment, or kept in
// memory for the tests. A trace that records nothing costs the device nothing: it then skips the
// checksums that only the trace shows.
class RequestTrace {
public:
    // Records nothing.
    RequestTrace() = default;
    // Creates the file afresh; throws std::runtime_error when it cannot be created.
    explicit RequestTrace(const std::wstring& path);
    static RequestTrace InMemory();

    bool IsRecording() const { return file != nullptr || inMemory; }
    void Record(const std::string& line);
    // The lines recorded in memory.
    const std::vector<std::string>& Lines() const { return lines; }

private:
    struct FileCloser {
        // Every line was flushed when it was recorded; closing has nothing left to lose.
        void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
    };
    std::unique_ptr<std::FILE, FileCloser> file;
    bool inMemory = false;
    std::vector<std::string> lines;
};
