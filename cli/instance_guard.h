#pragma once

#include "win32/unique_handle.h"

// One named single-instance mutex, created owned: this process holds the guard when it created the name, or
// when the name is that of a guard that it holds already (in session 0, a name without prefix and the same
// name in the Global namespace are one mutex); another process holds it when the name existed already or
// could not be created. The guard is released and closed when the object goes.
class InstanceGuard {
public:
    explicit InstanceGuard(const wchar_t* name);
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;
    ~InstanceGuard();

    // Whether the name could be created or opened at all.
    bool Exists() const { return mutex.IsValid(); }
    bool IsOwned() const { return owned; }

private:
    Win32::UniqueHandle mutex;
    // Whether this object's creation took the mutex, which it then releases.
    bool created = false;
    bool owned = false;
};
