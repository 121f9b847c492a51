#include "sim/request_trace.h"

#include <stdexcept>

RequestTrace::RequestTrace(const std::wstring& path, Mode mode) : shared(std::make_shared<Shared>()) {
    shared->file.reset(_wfopen(path.c_str(), mode == Mode::Create ? L"wb" : L"ab"));
    if (!shared->file) {
        throw std::runtime_error("cannot open the request trace");
    }
}

RequestTrace RequestTrace::InMemory() {
    RequestTrace trace;
    trace.shared = std::make_shared<Shared>();
    return trace;
}

const std::vector<std::string>& RequestTrace::Lines() const {
    static const std::vector<std::string> none;
    return shared ? shared->lines : none;
}

void RequestTrace::Record(const std::string& line) {
    if (!shared) {
        return;
    }
    if (!shared->file) {
        shared->lines.push_back(line);
        return;
    }
    // A line that cannot be written is missing from the trace, which is what its readers compare.
    static_cast<void>(std::fputs(line.c_str(), shared->file.get()));
    static_cast<void>(std::fputc('\n', shared->file.get()));
    static_cast<void>(std::fflush(shared->file.get()));
}
