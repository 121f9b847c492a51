#pragma once

#include <windows.h>

#include <string>

// The folder in which quillon.exe runs for one install, inside the package's state folder: the tool's
// current folder, where it leaves its quillon.log, holding a folder of its own for the image's copy, so that
// an image of any name, quillon.log included, stays apart from the tool's log. It is removed with whatever
// the run left in it when the object ends.
class WorkingFolder {
public:
    // A new folder `<state folder>\<stem>`, or, when that name is taken (by a folder that an earlier run of
    // the same second could not remove), `<stem>-2`, `<stem>-3` and so on.
    WorkingFolder(const std::wstring& stateFolder, const std::wstring& stem);
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;
    ~WorkingFolder();

    // The Windows error that kept the folder, or its image folder, from being made; 0 when both were.
    DWORD Error() const { return error; }
    const std::wstring& Path() const { return path; }
    std::wstring Log() const { return path + L"\\quillon.log"; }
    std::wstring ImageFolder() const { return path + L"\\image"; }

    // Removes what earlier runs of the package left in its state folder: working folders whose removal
    // failed, since Windows may still hold a folder a moment after the tool's process has ended. Call it only
    // while no tool of the package's runs can be running. A folder that cannot be removed now stays for a
    // later run; nothing else in the state folder is touched.
    static void RemoveLeftovers(const std::wstring& stateFolder, const std::string& packageId);

private:
    std::wstring path;
    bool made = false;
    DWORD error = 0;
};
