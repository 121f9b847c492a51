#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The requests a simulated machine received, one line each, in order: appended to a file line by line as
// they happen, so that a rehearsal that is killed still shows every request up to that moment, or kept in
// memory for the tests. A trace that records nothing costs the device nothing: it then skips the
// checksums that only the trace shows. Copies record into the same trace, so that every drive of a machine
// writes its lines into one.
class RequestTrace {
public:
    enum class Mode { Create, Append };

    // Records nothing.
    RequestTrace() = default;
    // Creates the file afresh, or appends to it; throws std::runtime_error when it cannot be opened.
    explicit RequestTrace(const std::wstring& path, Mode mode = Mode::Create);
    static RequestTrace InMemory();

    bool IsRecording() const { return shared != nullptr; }
    void Record(const std::string& line);
    // The lines recorded in memory.
    const std::vector<std::string>& Lines() const;

private:
    struct FileCloser {
        // Every line was flushed when it was recorded; closing has nothing left to lose.
        void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
    };
    struct Shared {
        std::unique_ptr<std::FILE, FileCloser> file;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Shared> shared;
};
