#include "cli/instance_guard.h"

#include <windows.h>

InstanceGuard::InstanceGuard(const wchar_t* name) : mutex(CreateMutexW(nullptr, TRUE, name)) {
    owned = mutex.IsValid() && GetLastError() != ERROR_ALREADY_EXISTS;
}

InstanceGuard::~InstanceGuard() {
    if (owned) {
        ReleaseMutex(mutex.Get());
    }
}
