#pragma once

#include "win32/unique_handle.h"

#include <optional>
#include <string>

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

    // For a guard that this process does not hold: one line (UTF-8) that names the guard and its owner when
    // the owner is not a trusted principal, or that says the owner cannot be read. None when a trusted
    // principal owns the guard, as every run of the programs does, or when the name is gone by now.
    std::optional<std::string> UntrustedOwner() const;

private:
    std::wstring name;
    Win32::UniqueHandle mutex;
    // Whether this object's creation took the mutex, which it then releases.
    bool created = false;
    bool owned = false;
};
