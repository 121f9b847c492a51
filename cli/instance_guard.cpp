#include "cli/instance_guard.h"

#include "cli/trusted_principals.h"
#include "cli/utf8.h"
#include "win32/local_ptr.h"
#include "win32/security_functions.h"
#include "win32/unique_module.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

// What ntdll's NtQueryMutant answers for MutantBasicInformation (class 0).
struct MutantBasicInformation {
    LONG currentCount;
    BOOLEAN ownedByCaller;
    BOOLEAN abandonedState;
};
static_assert(sizeof(MutantBasicInformation) == 8);
static_assert(offsetof(MutantBasicInformation, ownedByCaller) == 4);

constexpr int MUTANT_BASIC_INFORMATION = 0;

using QueryMutant = LONG(WINAPI*)(HANDLE mutant, int informationClass, void* information, ULONG length,
                                  ULONG* returned);

// The programs take each guard once, on their one thread: a mutex that this thread owns already is one of
// their own guards under another name.
bool IsOwnedByThisThread(HANDLE mutex) {
    // ntdll is in every process from its first instruction, and is never loaded by name.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll != nullptr ? Win32::GetProc<QueryMutant>(ntdll, "NtQueryMutant") : nullptr;
    MutantBasicInformation information{};
    return query != nullptr &&
           query(mutex, MUTANT_BASIC_INFORMATION, &information, sizeof(information), nullptr) == 0 &&
           information.ownedByCaller != FALSE;
}

} // namespace

InstanceGuard::InstanceGuard(const wchar_t* name) : name(name), mutex(CreateMutexW(nullptr, TRUE, name)) {
    created = mutex.IsValid() && GetLastError() != ERROR_ALREADY_EXISTS;
    owned = created || (mutex.IsValid() && IsOwnedByThisThread(mutex.Get()));
}

InstanceGuard::~InstanceGuard() {
    if (created) {
        ReleaseMutex(mutex.Get());
    }
}

std::optional<std::string> InstanceGuard::UntrustedOwner() const {
    const std::string guard = "the guard " + Utf8::FromWide(name);
    const auto unreadable = [&](DWORD error) {
        return guard + " exists, but its owner cannot be read (Windows error " + std::to_string(error) + ")";
    };
    // A guard that this process may not open with every right, as one that SYSTEM made is to an
    // administrator, is opened again with the right to read its owner alone.
    Win32::UniqueHandle opened;
    HANDLE readable = mutex.Get();
    if (!mutex.IsValid()) {
        opened = Win32::UniqueHandle(OpenMutexW(READ_CONTROL, FALSE, name.c_str()));
        if (!opened.IsValid()) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND) {
                return std::nullopt;
            }
            return unreadable(error);
        }
        readable = opened.Get();
    }
    const Win32::SecurityFunctions functions;
    if (functions.getSecurityInfo == nullptr) {
        return unreadable(ERROR_PROC_NOT_FOUND);
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = functions.getSecurityInfo(readable, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                                  &owner, nullptr, nullptr, nullptr, &descriptor);
    const Win32::LocalPtr<void> held(descriptor);
    if (error != ERROR_SUCCESS) {
        return unreadable(error);
    }
    // Windows gives every named object an owner; Wine gives none to one created without a security
    // descriptor, as the programs create their guards.
    if (owner == nullptr) {
        return std::nullopt;
    }
    const std::wstring ownerText = TrustedPrincipals::SidText(static_cast<const std::uint8_t*>(owner),
                                                              TrustedPrincipals::MAXIMUM_SID_LENGTH);
    const std::vector<std::wstring> trusted = TrustedPrincipals::OfThisProcess();
    if (std::find(trusted.begin(), trusted.end(), ownerText) != trusted.end()) {
        return std::nullopt;
    }
    return guard + " is owned by " + Utf8::FromWide(ownerText) + ", not by a trusted principal";
}
