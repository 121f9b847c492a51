#pragma once

#include "cli/trusted_principals.h"
#include "win32/unique_handle.h"

#include <windows.h>

#include <optional>
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

    // What principals that are not trusted may be granted.
    enum class Rule {
        // A folder that the program keeps: nothing that lets them write, delete or change anything in it or
        // who may, nor anything of that kind on what is created in it. CREATOR OWNER may be granted anything:
        // what is created in the folder is owned by its creator, and only the trusted may create anything
        // there.
        Kept,
        // A folder above one that the program keeps, which is not the program's: they may add files and
        // folders to it and set its attributes (Users may in C:\ProgramData, Authenticated Users in C:\), but
        // nothing that lets them rename, delete or replace it or what is in it, or change its permissions:
        // DELETE, WRITE_DAC, WRITE_OWNER, FILE_DELETE_CHILD or GENERIC_ALL on the folder itself. An entry
        // that only passes to what is created in the folder (inherit-only) does not concern the folder.
        Above,
        // A program file that is run: nothing that lets them write, delete or replace it, or change its
        // permissions.
        Program,
    };
    // Why a folder or file of this security descriptor (its owner and DACL) is refused by the rule; none when
    // the rule lets it be used. The owner must be among `trusted`.
    static std::optional<std::string> SecurityRefusal(PSECURITY_DESCRIPTOR descriptor, Rule rule,
                                                      const std::vector<std::wstring>& trusted);

    // Uses the folder, or creates it and each missing folder above it with CREATED_FOLDER_SDDL. Every folder
    // from the root of its drive or share down to it is checked, each that exists refused when it is a link
    // or junction, not a folder, owned by a principal not in `trusted`, or when its DACL fails its rule: the
    // folder itself, and each folder at or below `keptRoot` (what the program keeps, its own from there
    // down), by the kept rule; the others by the rule for the folders above. Throws Refused.
    static ProtectedFolder Open(const std::wstring& path,
                                const std::vector<std::wstring>& trusted = TrustedPrincipals::Default(),
                                const std::wstring& keptRoot = std::wstring());

    // Checks a program before it is run with this process's rights, so that nobody else can have replaced
    // it or can replace it: the file by the program rule, its folder by the kept rule and every folder above
    // by the rule for those. Throws Refused.
    static void CheckProgram(const std::wstring& path, const std::vector<std::wstring>& trusted);

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
