#include "tests/support/driver_parameters.h"

#include "sim/driver/simulated_drive.h"
#include "tests/support/polling.h"
#include "win32/unique_handle.h"

#include <stdexcept>

namespace TestSupport {

namespace {

const wchar_t DRIVER_PARAMETERS[] = L"System\\CurrentControlSet\\Services\\QuillonSim\\Parameters";

void Control(DWORD code) {
    const Win32::UniqueHandle control(CreateFileW(QUILLON_SIM_CONTROL_DEVICE, GENERIC_READ | GENERIC_WRITE, 0,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD returned = 0;
    if (!control.IsValid() ||
        !DeviceIoControl(control.Get(), code, nullptr, 0, nullptr, 0, &returned, nullptr)) {
        throw std::runtime_error("the stand-in driver refuses its control " + std::to_string(code));
    }
}

} // namespace

DriverParameters::DriverParameters(const std::wstring& description, const std::wstring& trace,
                                   const std::wstring& state) {
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, DRIVER_PARAMETERS, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &created, nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create the driver's parameters");
    }
    key.reset(created);
    Set(L"Device", description);
    Set(L"Trace", trace);
    if (!state.empty()) {
        Set(L"State", state);
    }
    BeginSession();
}

DriverParameters::~DriverParameters() {
    RegDeleteValueW(key.get(), L"Device");
    RegDeleteValueW(key.get(), L"Trace");
    RegDeleteValueW(key.get(), L"State");
    try {
        BeginSession();
    } catch (const std::runtime_error&) {
        // The drives of the next test are not this machine's: a failure here shows at that test's session.
    }
}

void DriverParameters::BeginSession() {
    Control(QUILLON_SIM_BEGIN_SESSION);
}

void DriverParameters::Set(const wchar_t* name, const std::wstring& value) {
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    if (RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes) !=
        ERROR_SUCCESS) {
        throw std::runtime_error("cannot set the driver's parameters");
    }
}

void WaitForDriverTrace(const std::wstring& path) {
    Control(QUILLON_SIM_WAIT);
    const bool closed = PollUntil([&] {
        // Nobody else may have the file open for this open to succeed.
        const Win32::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        return file.IsValid() || GetLastError() == ERROR_FILE_NOT_FOUND;
    });
    if (!closed) {
        throw std::runtime_error("the stand-in driver keeps the trace open");
    }
}

} // namespace TestSupport
