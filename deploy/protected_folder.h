#pragma once

#include "cli/trusted_principals.h"
#include "win32/unique_handle.h"

#include <stdexcept>
#include <string>
#include <vector>

// A folder that only trusted principals can change, for what the deployment program keeps from one run to
// the next (records, kept logs): anyone else who could write there could plant a record that says
// "installed", or a link that turns the next write as SYSTEM into a write elsewhere. The folder is held open
// for the object's life, without delete sharing, so that it cannot be renamed or replaced meanwhile.
class ProtectedFolder {
public:
    // A folder that cannot be used; the text is one line that names the folder and the reason, in UTF-8.
    class Refused : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // The DACL that a folder created here gets (SDDL): protected from inheritance, full control for
    // LocalSystem and Administrators, reading for Users; the same for every file and folder created in it.
    static const wchar_t* const CREATED_FOLDER_SDDL;

    // Uses the folder, or creates it and each missing folder above it with CREATED_FOLDER_SDDL. A folder that
    // exists is refused when it is a link or junction, not a folder, owned by a principal not in `trusted`,
    // or when its DACL lets anyone else write, delete or change it, or lets them do so to what is created in
    // it. CREATOR OWNER may be granted anything: what is created in the folder is owned by its creator, and
    // only the trusted may create anything there. Throws Refused.
    static ProtectedFolder Open(const std::wstring& path,
                                const std::vector<std::wstring>& trusted = TrustedPrincipals::Default());

    const std::wstring& Path() const { return path; }

    struct NewFile {
        Win32::UniqueHandle handle;
        std::wstring path;
    };
    // A file that did not exist before, opened for writing and shared for reading only: `stem` + `extension`,
    // or when that name is taken `stem` + "-2" + `extension` and so on. No existing name, be it a file or a
    // link, is ever opened. Throws Refused when no name is free or the folder refuses the file.
    NewFile CreateNew(const std::wstring& stem, const std::wstring& extension) const;

private:
    ProtectedFolder(std::wstring path, Win32::UniqueHandle handle)
        : path(std::move(path)), handle(std::move(handle)) {}

    std::wstring path;
    Win32::UniqueHandle handle;
};
