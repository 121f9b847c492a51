#include "deploy/protected_folder.h"

#include "cli/trusted_principals.h"
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

const wchar_t* const CREATOR_OWNER = L"S-1-3-0";

[[noreturn]] void Refuse(const std::wstring& path, const std::string& reason) {
    throw ProtectedFolder::Refused(Utf8::FromWide(path) + ": " + reason);
}

std::string WindowsError(DWORD code) {
    return "Windows error " + std::to_string(code);
}

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

void CheckSecurity(HANDLE folder, const std::wstring& path, const Win32::SecurityFunctions& functions,
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
    const std::wstring ownerText = owner == nullptr
                                       ? L"nobody"
                                       : TrustedPrincipals::SidText(static_cast<std::uint8_t*>(owner),
                                                                    TrustedPrincipals::MAXIMUM_SID_LENGTH);
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
                ? TrustedPrincipals::SidText(ace + sidOffset, header.AceSize - sidOffset)
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

ProtectedFolder ProtectedFolder::Open(const std::wstring& path, const std::vector<std::wstring>& trusted) {
    std::wstring folder = path;
    while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/') &&
           folder[folder.size() - 2] != L':') {
        folder.pop_back();
    }
    const Win32::SecurityFunctions functions;
    if (functions.getSecurityInfo == nullptr || functions.convertSddl == nullptr) {
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
