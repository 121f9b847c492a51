#include "cli/instance_guard.h"

#include "win32/unique_module.h"

#include <windows.h>

#include <cstddef>

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

InstanceGuard::InstanceGuard(const wchar_t* name) : mutex(CreateMutexW(nullptr, TRUE, name)) {
    created = mutex.IsValid() && GetLastError() != ERROR_ALREADY_EXISTS;
    owned = created || (mutex.IsValid() && IsOwnedByThisThread(mutex.Get()));
}

InstanceGuard::~InstanceGuard() {
    if (created) {
        ReleaseMutex(mutex.Get());
    }
}
