#pragma once

#include "win32/unique_module.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

namespace Win32 {

// The security functions of advapi32, which is not among the DLLs that the shipped programs may import: it
// comes from the system directory at run time, when they are needed. A function that cannot be found is null.
class SecurityFunctions {
    UniqueModule library;

public:
    SecurityFunctions()
        : library(LoadSystemLibrary(L"advapi32.dll")),
          getSecurityInfo(Find<decltype(&GetSecurityInfo)>("GetSecurityInfo")),
          getOwner(Find<decltype(&GetSecurityDescriptorOwner)>("GetSecurityDescriptorOwner")),
          getDacl(Find<decltype(&GetSecurityDescriptorDacl)>("GetSecurityDescriptorDacl")),
          convertSddl(Find<decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorW)>(
              "ConvertStringSecurityDescriptorToSecurityDescriptorW")),
          openProcessToken(Find<decltype(&OpenProcessToken)>("OpenProcessToken")),
          getTokenInformation(Find<decltype(&GetTokenInformation)>("GetTokenInformation")) {}
    // Whether every function was found.
    bool Loaded() const {
        return getSecurityInfo != nullptr && getOwner != nullptr && getDacl != nullptr &&
               convertSddl != nullptr && openProcessToken != nullptr && getTokenInformation != nullptr;
    }

    const decltype(&GetSecurityInfo) getSecurityInfo;
    const decltype(&GetSecurityDescriptorOwner) getOwner;
    const decltype(&GetSecurityDescriptorDacl) getDacl;
    const decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorW) convertSddl;
    const decltype(&OpenProcessToken) openProcessToken;
    const decltype(&GetTokenInformation) getTokenInformation;

private:
    template <typename Function> Function Find(const char* name) const {
        return library ? GetProc<Function>(library.get(), name) : nullptr;
    }
};

} // namespace Win32
