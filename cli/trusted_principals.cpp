#include "cli/trusted_principals.h"

#include "win32/security_functions.h"
#include "win32/unique_handle.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

const std::vector<std::wstring>& TrustedPrincipals::Default() {
    static const std::vector<std::wstring> trusted = {
        L"S-1-5-18", L"S-1-5-32-544", L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
    return trusted;
}

std::vector<std::wstring> TrustedPrincipals::OfThisProcess() {
    std::vector<std::wstring> trusted = Default();
    const Win32::SecurityFunctions functions;
    HANDLE token = nullptr;
    if (functions.openProcessToken == nullptr || functions.getTokenInformation == nullptr ||
        !functions.openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return trusted;
    }
    const Win32::UniqueHandle heldToken(token);
    // TOKEN_USER and TOKEN_OWNER are a pointer to the SID after them.
    for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        std::vector<std::uint8_t> information(sizeof(TOKEN_USER) + MAXIMUM_SID_LENGTH);
        DWORD length = 0;
        if (!functions.getTokenInformation(token, kind, information.data(),
                                           static_cast<DWORD>(information.size()), &length)) {
            continue;
        }
        // Both structures begin with the SID's address.
        PSID sidAddress = nullptr;
        std::memcpy(&sidAddress, information.data(), sizeof(sidAddress));
        const auto* sid = static_cast<const std::uint8_t*>(sidAddress);
        const auto* end = information.data() + std::min<std::size_t>(length, information.size());
        if (sid >= information.data() && sid < end) {
            trusted.push_back(SidText(sid, static_cast<std::size_t>(end - sid)));
        }
    }
    return trusted;
}

std::wstring TrustedPrincipals::SidText(const std::uint8_t* sid, std::size_t available) {
    if (available < 8 || available < 8 + 4 * std::size_t{sid[1]}) {
        return L"(a malformed SID)";
    }
    std::uint64_t authority = 0;
    for (std::size_t i = 2; i < 8; ++i) {
        authority = authority << 8 | sid[i];
    }
    std::wstring text = L"S-" + std::to_wstring(sid[0]) + L"-" + std::to_wstring(authority);
    for (std::size_t i = 0; i < sid[1]; ++i) {
        std::uint32_t part = 0;
        std::memcpy(&part, sid + 8 + 4 * i, sizeof(part));
        text += L"-" + std::to_wstring(part);
    }
    return text;
}
