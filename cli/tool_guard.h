#pragma once

#include "cli/instance_guard.h"
#include "cli/instance_mutex.h"

#include <optional>

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

private:
    InstanceGuard session;
    std::optional<InstanceGuard> machine;
};
