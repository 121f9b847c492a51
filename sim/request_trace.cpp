#include "sim/request_trace.h"

#include <stdexcept>

RequestTrace::RequestTrace(const std::wstring& path) : file(_wfopen(path.c_str(), L"wb")) {
    if (!file) {
        throw std::runtime_error("cannot create the request trace");
    }
}

RequestTrace RequestTrace::InMemory() {
    RequestTrace trace;
    trace.inMemory = true;
    return trace;
}

void RequestTrace::Record(const std::string& line) {
    if (inMemory) {
        lines.push_back(line);
    }
    if (file) {
        // A line that cannot be written is missing from the trace, which is what its readers compare.
        static_cast<void>(std::fputs(line.c_str(), file.get()));
        static_cast<void>(std::fputc('\n', file.get()));
        static_cast<void>(std::fflush(file.get()));
    }
}
