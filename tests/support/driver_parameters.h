#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

namespace TestSupport {

// The stand-in storage driver's machine description, request trace and machine state, for as long as the
// object lives: the driver begins a session with them at once (its drives are the machine's, its trace is
// new) and reads them at the first open of a drive of every run; it serves no machine without them.
class DriverParameters {
public:
    DriverParameters(const std::wstring& description, const std::wstring& trace,
                     const std::wstring& state = {});
    DriverParameters(const DriverParameters&) = delete;
    DriverParameters& operator=(const DriverParameters&) = delete;
    ~DriverParameters();

private:
    // Tells the driver to begin a session with the parameters as they are now.
    static void BeginSession();
    void Set(const wchar_t* name, const std::wstring& value);

    std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> key{nullptr, &RegCloseKey};
};

// Waits until the driver has closed the trace, which it does when the last handle of its drive has gone
// (Wine tells it after the handle's owner has closed it or ended).
void WaitForDriverTrace(const std::wstring& path);

} // namespace TestSupport
