#include "deploy/protected_folder.h"

#include "cli/utf8.h"
#include "win32/local_ptr.h"
#include "win32/unique_module.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr unsigned MAXIMUM_SEQUENCE = 999;

// Whatever lets a principal add, change or remove anything in the folder, or change who may.
constexpr DWORD WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                               FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                               GENERIC_ALL;

const wchar_t* const CREATOR_OWNER = L"S-1-3-0";

[[noreturn]] void Refuse(const std::wstring& path, const std::string& reason) {
    throw ProtectedFolder::Refused(Utf8::FromWide(path) + ": " + reason);
}

std::string WindowsError(DWORD code) {
    return "Windows error " + std::to_string(code);
}

// The SID's text as Windows writes it (S-1-5-32-544), read inside the bytes given only.
std::wstring SidText(const std::uint8_t* sid, std::size_t available) {
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

// advapi32 is not among the DLLs that the shipped programs may import: it comes from the system directory
// at run time, when a folder is used.
class SecurityFunctions {
    Win32::UniqueModule library;

public:
    SecurityFunctions()
        : library(Win32::LoadSystemLibrary(L"advapi32.dll")),
          getSecurityInfo(Find<decltype(&GetSecurityInfo)>("GetSecurityInfo")),
          convertSddl(Find<decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorW)>(
              "ConvertStringSecurityDescriptorToSecurityDescriptorW")),
          openProcessToken(Find<decltype(&OpenProcessToken)>("OpenProcessToken")),
          getTokenInformation(Find<decltype(&GetTokenInformation)>("GetTokenInformation")) {}
    bool Loaded() const { return getSecurityInfo != nullptr && convertSddl != nullptr; }

    const decltype(&GetSecurityInfo) getSecurityInfo;
    const decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorW) convertSddl;
    const decltype(&OpenProcessToken) openProcessToken;
    const decltype(&GetTokenInformation) getTokenInformation;

private:
    template <typename Function> Function Find(const char* name) const {
        return library ? Win32::GetProc<Function>(library.get(), name) : nullptr;
    }
};

std::wstring Parent(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

// True when this call created the folder, false when it was there already.
bool CreateFolder(const std::wstring& path, SECURITY_ATTRIBUTES& security) {
    if (CreateDirectoryW(path.c_str(), &security)) {
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_PATH_NOT_FOUND) {
        const std::wstring parent = Parent(path);
        if (!parent.empty() && parent != path) {
            CreateFolder(parent, security);
            if (CreateDirectoryW(path.c_str(), &security)) {
                return true;
            }
            error = GetLastError();
        }
    }
    if (error != ERROR_ALREADY_EXISTS) {
        Refuse(path, "cannot be created (" + WindowsError(error) + ")");
    }
    return false;
}

void CheckSecurity(HANDLE folder, const std::wstring& path, const SecurityFunctions& functions,
                   const std::vector<std::wstring>& trusted) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = functions.getSecurityInfo(folder, SE_FILE_OBJECT,
                                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                  &owner, nullptr, &dacl, nullptr, &descriptor);
    const Win32::LocalPtr<void> held(descriptor);
    if (error != ERROR_SUCCESS) {
        Refuse(path, "its security cannot be read (" + WindowsError(error) + ")");
    }
    const auto isTrusted = [&](const std::wstring& sid) {
        return std::find(trusted.begin(), trusted.end(), sid) != trusted.end();
    };
    // A SID's length is known only from its own count of parts: 8 bytes and 4 a part, at most 15 parts.
    const std::wstring ownerText =
        owner == nullptr ? L"nobody" : SidText(static_cast<std::uint8_t*>(owner), 68);
    if (!isTrusted(ownerText)) {
        Refuse(path, "owned by " + Utf8::FromWide(ownerText) + ", not by a trusted principal");
    }
    if (dacl == nullptr) {
        Refuse(path, "has no DACL: anyone may change it");
    }
    const auto* acl = reinterpret_cast<const std::uint8_t*>(dacl);
    std::size_t offset = sizeof(ACL);
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER header{};
        if (offset + sizeof(header) > dacl->AclSize) {
            Refuse(path, "its DACL is malformed");
        }
        std::memcpy(&header, acl + offset, sizeof(header));
        if (header.AceSize < sizeof(header) || offset + header.AceSize > dacl->AclSize) {
            Refuse(path, "its DACL is malformed");
        }
        const std::uint8_t* ace = acl + offset;
        offset += header.AceSize;
        ACCESS_MASK mask = 0;
        if (header.AceSize >= sizeof(header) + sizeof(mask)) {
            std::memcpy(&mask, ace + sizeof(header), sizeof(mask));
        }
        const bool allows = header.AceType == ACCESS_ALLOWED_ACE_TYPE ||
                            header.AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
                            header.AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                            header.AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE ||
                            header.AceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE;
        if (!allows || (mask & WRITE_RIGHTS) == 0) {
            continue;
        }
        // The SID of the two plain kinds follows the mask; the others carry object types first, and are not
        // read: whoever they grant writing to is refused.
        const std::size_t sidOffset = sizeof(header) + sizeof(mask);
        const std::wstring sid =
            header.AceType == ACCESS_ALLOWED_ACE_TYPE || header.AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE
                ? SidText(ace + sidOffset, header.AceSize - sidOffset)
                : L"an object-specific entry";
        if (!isTrusted(sid) && sid != CREATOR_OWNER) {
            Refuse(path, "lets " + Utf8::FromWide(sid) + " write to it, or to what is created in it");
        }
    }
}

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

} // namespace

const wchar_t* const ProtectedFolder::CREATED_FOLDER_SDDL =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

const std::vector<std::wstring>& ProtectedFolder::DefaultTrusted() {
    static const std::vector<std::wstring> trusted = {
        L"S-1-5-18", L"S-1-5-32-544", L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
    return trusted;
}

std::vector<std::wstring> ProtectedFolder::TrustedByThisProcess() {
    std::vector<std::wstring> trusted = DefaultTrusted();
    const SecurityFunctions functions;
    HANDLE token = nullptr;
    if (functions.openProcessToken == nullptr || functions.getTokenInformation == nullptr ||
        !functions.openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return trusted;
    }
    const Win32::UniqueHandle heldToken(token);
    // TOKEN_USER and TOKEN_OWNER are a pointer to the SID after them: a SID is at most 68 bytes.
    for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        std::vector<std::uint8_t> information(sizeof(TOKEN_USER) + 68);
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

ProtectedFolder ProtectedFolder::Open(const std::wstring& path, const std::vector<std::wstring>& trusted) {
    std::wstring folder = path;
    while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/') &&
           folder[folder.size() - 2] != L':') {
        folder.pop_back();
    }
    const SecurityFunctions functions;
    if (!functions.Loaded()) {
        Refuse(folder, "the security functions of advapi32.dll are not available");
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!functions.convertSddl(CREATED_FOLDER_SDDL, SDDL_REVISION_1, &descriptor, nullptr)) {
        Refuse(folder, "its security descriptor cannot be made (" + WindowsError(GetLastError()) + ")");
    }
    const Win32::LocalPtr<void> heldDescriptor(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
    const bool created = CreateFolder(folder, security);

    // Opened as what the name itself is, link or not; held without delete sharing for the object's life.
    Win32::UniqueHandle handle(CreateFileW(
        folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.IsValid()) {
        Refuse(folder, "cannot be opened (" + WindowsError(GetLastError()) + ")");
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle.Get(), &information)) {
        Refuse(folder, "cannot be inspected (" + WindowsError(GetLastError()) + ")");
    }
    // Wine shows a Unix symbolic link as a reparse point by its name only; Windows shows it both ways.
    if (IsLink(information.dwFileAttributes) || IsLink(GetFileAttributesW(folder.c_str()))) {
        Refuse(folder, "a link or junction, not a folder of its own");
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        Refuse(folder, "not a folder");
    }
    // A folder made just now carries the DACL given; one that was there is checked, whoever made it.
    if (!created) {
        CheckSecurity(handle.Get(), folder, functions, trusted);
    }
    return ProtectedFolder(folder, std::move(handle));
}

ProtectedFolder::NewFile ProtectedFolder::CreateNew(const std::wstring& stem,
                                                    const std::wstring& extension) const {
    if ((stem + extension).find_first_of(L"\\/:") != std::wstring::npos) {
        Refuse(path, "not a plain file name: " + Utf8::FromWide(stem + extension));
    }
    for (unsigned sequence = 1; sequence <= MAXIMUM_SEQUENCE; ++sequence) {
        std::wstring name = stem;
        if (sequence > 1) {
            name += L"-";
            name += std::to_wstring(sequence);
        }
        name += extension;
        NewFile file{Win32::UniqueHandle(CreateFileW(
                         (path + L"\\" + name).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)),
                     path + L"\\" + name};
        if (!file.handle.IsValid()) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
                continue;
            }
            Refuse(file.path, "cannot be created (" + WindowsError(error) + ")");
        }
        return file;
    }
    Refuse(path, "no free name for " + Utf8::FromWide(stem + extension));
}
