#include "deploy/protected_folder.h"

#include "cli/utf8.h"
#include "win32/local_ptr.h"
#include "win32/security_functions.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr unsigned MAXIMUM_SEQUENCE = 999;

// Whatever lets a principal add, change or remove anything in the folder, or change who may.
constexpr DWORD WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                               FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                               GENERIC_ALL;
// Whatever lets a principal rename, delete or replace the folder or what is in it, or change who may.
constexpr DWORD REPLACE_RIGHTS = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

const wchar_t* const CREATOR_OWNER = L"S-1-3-0";

[[noreturn]] void Refuse(const std::wstring& path, const std::string& reason) {
    throw ProtectedFolder::Refused(Utf8::FromWide(path) + ": " + reason);
}

std::string WindowsError(DWORD code) {
    return "Windows error " + std::to_string(code);
}

const Win32::SecurityFunctions& Functions(const std::wstring& path) {
    static const Win32::SecurityFunctions functions;
    if (!functions.Loaded()) {
        Refuse(path, "the security functions of advapi32.dll are not available");
    }
    return functions;
}

std::optional<std::string> Judge(const Win32::SecurityFunctions& functions, PSECURITY_DESCRIPTOR descriptor,
                                 ProtectedFolder::Rule rule, const std::vector<std::wstring>& trusted) {
    using Rule = ProtectedFolder::Rule;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    if (!functions.getOwner(descriptor, &owner, &defaulted) ||
        !functions.getDacl(descriptor, &present, &dacl, &defaulted)) {
        return "its security cannot be read (" + WindowsError(GetLastError()) + ")";
    }
    const auto isTrusted = [&](const std::wstring& sid) {
        return std::find(trusted.begin(), trusted.end(), sid) != trusted.end();
    };
    // A SID's length is known only from its own count of parts: 8 bytes and 4 a part, at most 15 parts.
    const std::wstring ownerText = owner == nullptr
                                       ? L"nobody"
                                       : TrustedPrincipals::SidText(static_cast<std::uint8_t*>(owner),
                                                                    TrustedPrincipals::MAXIMUM_SID_LENGTH);
    if (!isTrusted(ownerText)) {
        return "owned by " + Utf8::FromWide(ownerText) + ", not by a trusted principal";
    }
    if (!present || dacl == nullptr) {
        return std::string("has no DACL: anyone may change it");
    }
    const DWORD refused = rule == Rule::Above ? REPLACE_RIGHTS : WRITE_RIGHTS;
    const auto* acl = reinterpret_cast<const std::uint8_t*>(dacl);
    std::size_t offset = sizeof(ACL);
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER header{};
        if (offset + sizeof(header) > dacl->AclSize) {
            return std::string("its DACL is malformed");
        }
        std::memcpy(&header, acl + offset, sizeof(header));
        if (header.AceSize < sizeof(header) || offset + header.AceSize > dacl->AclSize) {
            return std::string("its DACL is malformed");
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
        const bool onItself = (header.AceFlags & INHERIT_ONLY_ACE) == 0;
        if (!allows || (mask & refused) == 0 || (rule == Rule::Above && !onItself)) {
            continue;
        }
        // The SID of the two plain kinds follows the mask; the others carry object types first, and are not
        // read: whoever they grant writing to is refused.
        const std::size_t sidOffset = sizeof(header) + sizeof(mask);
        const std::wstring sid =
            header.AceType == ACCESS_ALLOWED_ACE_TYPE || header.AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE
                ? TrustedPrincipals::SidText(ace + sidOffset, header.AceSize - sidOffset)
                : L"an object-specific entry";
        if (isTrusted(sid) || sid == CREATOR_OWNER) {
            continue;
        }
        const std::string who = "lets " + Utf8::FromWide(sid);
        switch (rule) {
        case Rule::Kept:
            return who + " write to it, or to what is created in it";
        case Rule::Above:
            return who + " delete or rename it or what is in it, or change its permissions";
        case Rule::Program:
            return who + " change, replace or delete it";
        }
    }
    return std::nullopt;
}

void CheckSecurity(const Win32::SecurityFunctions& functions, HANDLE object, const std::wstring& path,
                   ProtectedFolder::Rule rule, const std::vector<std::wstring>& trusted) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = functions.getSecurityInfo(object, SE_FILE_OBJECT,
                                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                  nullptr, nullptr, nullptr, nullptr, &descriptor);
    const Win32::LocalPtr<void> held(descriptor);
    if (error != ERROR_SUCCESS) {
        Refuse(path, "its security cannot be read (" + WindowsError(error) + ")");
    }
    if (const auto refusal = Judge(functions, descriptor, rule, trusted)) {
        Refuse(path, *refusal);
    }
}

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opened as what the name itself is, link or not, for its attributes and security only. A folder above
// shares deleting with whoever holds it; the one that is used is held without, so that it cannot be renamed
// or replaced while it is.
Win32::UniqueHandle OpenObject(const std::wstring& path, bool held) {
    return Win32::UniqueHandle(
        CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | (held ? 0 : FILE_SHARE_DELETE), nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// What the open handle is: refused when it is a link or junction, or not of the kind expected.
void CheckKind(HANDLE object, const std::wstring& path, bool folder, bool root) {
    // The basic information only: Wine takes milliseconds for the volume's serial number in the full one.
    FILE_BASIC_INFO information{};
    if (!GetFileInformationByHandleEx(object, FileBasicInfo, &information, sizeof(information))) {
        Refuse(path, "cannot be inspected (" + WindowsError(GetLastError()) + ")");
    }
    // Wine shows a Unix symbolic link as a reparse point by its name only; Windows shows it both ways. The
    // root of a drive is never a link, but Wine shows its Z: drive, a link to the Unix root, as one by name.
    if (IsLink(information.FileAttributes) || (!root && IsLink(GetFileAttributesW(path.c_str())))) {
        Refuse(path,
               folder ? "a link or junction, not a folder of its own" : "a link, not a file of its own");
    }
    if (((information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
        Refuse(path, folder ? "not a folder" : "not a file");
    }
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(length, L'\0');
    const DWORD written = length == 0 ? 0 : GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length) {
        Refuse(path, "has no full path (" + WindowsError(GetLastError()) + ")");
    }
    full.resize(written);
    while (full.size() > 1 && full.back() == L'\\' && full[full.size() - 2] != L':') {
        full.pop_back();
    }
    return full;
}

// The length of the full path's root, as it is opened: C:\ (with its backslash: C: alone names the drive's
// current folder), \\server\share, \\?\C:\ or \\?\UNC\server\share; 0 for a path of another kind.
std::size_t RootLength(const std::wstring& path) {
    std::size_t start = 0;
    bool share = false;
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        start = 8;
        share = true;
    } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
        start = 4;
    } else if (path.compare(0, 2, L"\\\\") == 0) {
        start = 2;
        share = true;
    }
    if (!share) {
        const wchar_t letter = path.size() >= start + 3 ? path[start] : L'\0';
        const bool drive = ((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z')) &&
                           path[start + 1] == L':' && path[start + 2] == L'\\';
        return drive ? start + 3 : 0;
    }
    const std::size_t server = path.find(L'\\', start);
    if (server == std::wstring::npos || server == start) {
        return 0;
    }
    const std::size_t name = std::min(path.find(L'\\', server + 1), path.size());
    return name > server + 1 ? name : 0;
}

// The root of the full path's drive or share, and each folder below it down to the path.
std::vector<std::wstring> FoldersDownTo(const std::wstring& full) {
    const std::size_t rootLength = RootLength(full);
    if (rootLength == 0) {
        Refuse(full, "not a folder of a drive or a share");
    }
    std::vector<std::wstring> folders{full.substr(0, rootLength)};
    for (std::size_t end = rootLength; end < full.size();) {
        end = std::min(full.find(L'\\', end + 1), full.size());
        folders.push_back(full.substr(0, end));
    }
    return folders;
}

bool IsAtOrBelow(const std::wstring& path, const std::wstring& folder) {
    return !folder.empty() && path.size() >= folder.size() &&
           (path.size() == folder.size() || path[folder.size()] == L'\\' || folder.back() == L'\\') &&
           CompareStringOrdinal(path.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

// Checks each folder from the root of the full path's drive or share down to the path by its rule (the
// folder itself, and those at or below `keptRoot`, by the kept rule) and, when `created` is given, creates
// each missing one with it. Returns the folder's handle, held without delete sharing.
Win32::UniqueHandle Walk(const Win32::SecurityFunctions& functions, const std::wstring& full,
                         const std::vector<std::wstring>& trusted, const std::wstring& keptRoot,
                         SECURITY_ATTRIBUTES* created) {
    const std::vector<std::wstring> folders = FoldersDownTo(full);
    Win32::UniqueHandle handle;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const std::wstring& folder = folders[i];
        const bool last = i + 1 == folders.size();
        handle = OpenObject(folder, last);
        bool made = false;
        const DWORD error = GetLastError();
        if (!handle.IsValid() && created != nullptr && i > 0 &&
            (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
            made = CreateDirectoryW(folder.c_str(), created) != FALSE;
            if (!made && GetLastError() != ERROR_ALREADY_EXISTS) {
                Refuse(folder, "cannot be created (" + WindowsError(GetLastError()) + ")");
            }
            handle = OpenObject(folder, last);
        }
        if (!handle.IsValid()) {
            Refuse(folder, "cannot be opened (" + WindowsError(GetLastError()) + ")");
        }
        CheckKind(handle.Get(), folder, true, i == 0);
        // A folder made just now carries the DACL given; one that was there is checked, whoever made it.
        if (!made) {
            const bool kept = last || IsAtOrBelow(folder, keptRoot);
            CheckSecurity(functions, handle.Get(), folder,
                          kept ? ProtectedFolder::Rule::Kept : ProtectedFolder::Rule::Above, trusted);
        }
    }
    return handle;
}

} // namespace

const wchar_t* const ProtectedFolder::CREATED_FOLDER_SDDL =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

std::optional<std::string> ProtectedFolder::SecurityRefusal(PSECURITY_DESCRIPTOR descriptor, Rule rule,
                                                            const std::vector<std::wstring>& trusted) {
    return Judge(Functions(std::wstring()), descriptor, rule, trusted);
}

ProtectedFolder ProtectedFolder::Open(const std::wstring& path, const std::vector<std::wstring>& trusted,
                                      const std::wstring& keptRoot) {
    const std::wstring folder = FullPath(path);
    const Win32::SecurityFunctions& functions = Functions(folder);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!functions.convertSddl(CREATED_FOLDER_SDDL, SDDL_REVISION_1, &descriptor, nullptr)) {
        Refuse(folder, "its security descriptor cannot be made (" + WindowsError(GetLastError()) + ")");
    }
    const Win32::LocalPtr<void> heldDescriptor(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
    Win32::UniqueHandle handle =
        Walk(functions, folder, trusted, keptRoot.empty() ? keptRoot : FullPath(keptRoot), &security);
    return ProtectedFolder(folder, std::move(handle));
}

void ProtectedFolder::CheckProgram(const std::wstring& path, const std::vector<std::wstring>& trusted) {
    const std::wstring file = FullPath(path);
    const Win32::SecurityFunctions& functions = Functions(file);
    const std::size_t separator = file.find_last_of(L'\\');
    const std::wstring folder =
        file.substr(0, separator == std::wstring::npos ? 0 : std::max(separator, RootLength(file)));
    const Win32::UniqueHandle heldFolder = Walk(functions, folder, trusted, folder, nullptr);
    const Win32::UniqueHandle program = OpenObject(file, false);
    if (!program.IsValid()) {
        Refuse(file, "cannot be opened (" + WindowsError(GetLastError()) + ")");
    }
    CheckKind(program.Get(), file, false, false);
    CheckSecurity(functions, program.Get(), file, Rule::Program, trusted);
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
