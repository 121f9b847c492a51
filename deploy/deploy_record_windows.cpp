#include "deploy/deploy_record.h"

#include "cli/utf8.h"

#include <array>
#include <cstdio>

bool DeployRecord::WriteTo(HANDLE file) const {
    const std::string text = ToJson();
    LARGE_INTEGER start{};
    DWORD written = 0;
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
           WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size() && SetEndOfFile(file) && FlushFileBuffers(file);
}

std::string DeployRecord::IsoTime(const SYSTEMTIME& utc) {
    std::array<char, 32> text{};
    static_cast<void>(std::snprintf(text.data(), text.size(), "%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear,
                                    utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond));
    return text.data();
}

std::wstring DeployRecord::FileStem(const std::wstring& machine, const std::string& packageId,
                                    const SYSTEMTIME& utc) {
    std::wstring stem;
    for (const wchar_t c : machine) {
        const bool safe =
            (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'-';
        stem += safe ? c : L'_';
    }
    std::array<wchar_t, 32> time{};
    static_cast<void>(std::swprintf(time.data(), time.size(), L"%04u%02u%02uT%02u%02u%02uZ", utc.wYear,
                                    utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond));
    return stem + L"_" + Utf8::ToWide(packageId) + L"_" + time.data();
}
