#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The principals that may own what the programs rely on when they run as SYSTEM or as an administrator: the
// deployment program's folders and the single-instance guards. Anyone else who owned such a folder could
// plant a record that says "installed"; anyone else who owned a guard could keep every run from starting.
class TrustedPrincipals {
public:
    // LocalSystem, the Administrators group and TrustedInstaller, as SID texts.
    static const std::vector<std::wstring>& Default();
    // Default, this process's user and the default owner of what it creates: what it made is then its own to
    // use again. That is owned by the default owner (the Administrators group for an elevated administrator,
    // LocalSystem for a service) or, where the policy "Default owner for objects created by members of the
    // Administrators group" says "Object creator", by the user; Wine makes the user the owner of every file.
    static std::vector<std::wstring> OfThisProcess();
    // The SID's text as Windows writes it (S-1-5-32-544), read inside the bytes given only.
    static std::wstring SidText(const std::uint8_t* sid, std::size_t available);
    // A SID's length is known only from its own count of parts: 8 bytes and 4 a part, at most 15 parts.
    static constexpr std::size_t MAXIMUM_SID_LENGTH = 68;
};
