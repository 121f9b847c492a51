#pragma once

#include "cli/instance_guard.h"
#include "cli/instance_mutex.h"

#include <optional>
#include <string>

// Quillon's two single-instance guards, the session's and then the machine's, for a program that asks a
// device while Quillon might run: holding both, it never sends requests to a device at the same time as
// Quillon or another such program.
class ToolGuard {
public:
    ToolGuard() : session(INSTANCE_MUTEX_NAME) {
        if (session.IsOwned()) {
            machine.emplace(MACHINE_WIDE_INSTANCE_MUTEX_NAME);
        }
    }

    bool IsOwned() const { return machine && machine->IsOwned(); }
    // For guards that this process does not hold: InstanceGuard::UntrustedOwner of the one that refused.
    std::optional<std::string> UntrustedOwner() const {
        return machine ? machine->UntrustedOwner() : session.UntrustedOwner();
    }

private:
    InstanceGuard session;
    std::optional<InstanceGuard> machine;
};
