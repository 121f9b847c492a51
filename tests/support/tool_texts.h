#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

// The tool's own texts, byte for byte, as the tests expect them. Each is written with "\n" line ends, as
// the tool composes it; TextMode gives the bytes that reach the log file and the console. The constants are
// inline so that test tables built at start-up can use them whatever the order of initialization.
namespace TestSupport {

inline const std::string BANNER = "Quillon v1.0.3\n"
                                  "Copyright (c) 2026 ZELT. All rights reserved.\n"
                                  "\n";
inline const std::string USAGE = "Usage:\n"
                                 "\n"
                                 "    Quillon /T:<drive number> /D:<FFU data file>\n"
                                 "\n"
                                 "  where:\n"
                                 "    <drive number>      - drive number to be updated (0 is first drive)\n"
                                 "    <FFU data file>     - path to data file containing the FFU package\n"
                                 "\n";
// After every update that took effect.
inline const std::string RESTART =
    "Please restart the platform in order to complete the firmware installation.\n\n";
// The closing prompt of debug mode as the console receives it: console only, never in the log.
inline const std::string ENTER_PROMPT = "\r\nPress the ENTER key to continue...";

// The steps of an update.
std::string OpenedDevice(char drive);
inline const std::string UPDATING = "eMMC::UpdateFirmware\n";
inline const std::string DOWNLOADING = "eMMC::UpdateFirmware - downloading firmware...\n";
std::string Progress(std::uint32_t offset);

// The closing message for a drive that does not open with the given last error: what FormatMessageA
// gives for it, or the tool's own words for a code without a system text.
std::string OpenDeviceError(DWORD code);

// Why a device cannot take an update.
inline const std::string VERSION_TOO_OLD = "eMMC::CanUpdateFirmware - cannot update (eMMC version < 5.0)\n";
inline const std::string MODE_UNSUPPORTED =
    "eMMC::CanUpdateFirmware - cannot update (unsupported eMMC mode)\n";
inline const std::string FFU_DISABLED = "eMMC::CanUpdateFirmware - cannot update (FFU disabled)\n";
inline const std::string GENERAL_FAILURE = "eMMC::CanUpdateFirmware - cannot update (general failure)\n";

// How an update ends.
inline const std::string UPDATED = "eMMC::UpdateFirmware - success\n";
inline const std::string UPDATED_REBOOT_REQUIRED = "eMMC::UpdateFirmware - success (reboot required)\n";
inline const std::string UNKNOWN_ERROR = "eMMC::UpdateFirmware - unknown error\n";
inline const std::string NO_UPGRADE = "eMMC::UpdateFirmware - no upgrade supported\n";
inline const std::string NO_FREE_SLOT = "eMMC::UpdateFirmware - no free slot found\n";
inline const std::string UNUSABLE_PAYLOAD = "eMMC::UpdateFirmware - unusable payload size\n";
inline const std::string BAD_IMAGE = "eMMC::UpdateFirmware - bad / incompatible firmware image\n";
inline const std::string DOWNLOAD_FAILED = "eMMC::UpdateFirmware - failure to download\n";
inline const std::string BAD_SLOT = "eMMC::UpdateFirmware - bad slot No.\n";

// The names of the tool's single-instance guards: the session's and the machine's.
inline const wchar_t INSTANCE_MUTEX_NAME[] = L"com.zelt.quillon";
inline const wchar_t MACHINE_WIDE_INSTANCE_MUTEX_NAME[] = L"Global\\com.zelt.quillon";
// The guard of the deployment program's install runs.
inline const wchar_t DEPLOY_INSTANCE_MUTEX_NAME[] = L"Global\\com.zelt.quillon.deploy";
// A guard's name created first by a user who is not a trusted principal, open to everyone (SDDL).
inline const wchar_t UNTRUSTED_OWNER_SDDL[] = L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)";

// Text as a text-mode stream writes it: every line feed becomes CR LF, every other byte stays.
std::string TextMode(std::string_view text);

} // namespace TestSupport
