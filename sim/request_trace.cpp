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
        std::fputs(line.c_str(), file.get());
        std::fputc('\n', file.get());
        std::fflush(file.get());
    }
}
