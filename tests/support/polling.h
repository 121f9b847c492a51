#pragma once

#include <chrono>
#include <functional>

namespace TestSupport {

// How long a test waits for something that only a fault keeps from happening: a process start, a file that
// another process writes or closes. On a quiet machine it takes milliseconds; on a shared one, with every
// core busy, seconds. The deadline is far beyond both, so that running into it means a fault.
constexpr std::chrono::seconds LOADED_MACHINE_DEADLINE{60};

// Asks `condition` every `interval` until it holds or `timeout` has passed, and once more then; true when it
// holds. For what Windows gives no event to wait on, such as a file's content.
bool PollUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = LOADED_MACHINE_DEADLINE,
               std::chrono::microseconds interval = std::chrono::milliseconds(10));

} // namespace TestSupport
