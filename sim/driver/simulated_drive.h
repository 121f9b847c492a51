/* What the stand-in storage driver's kernel glue calls: the simulated machine behind every drive that the
   driver serves. Plain C, so that the glue can include it beside the kernel's own headers. Every call
   returns the status that completes the request. Wine completes an open whatever its status, so an open
   always succeeds here, and one that the device refuses fails at the handle's first control. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The driver's control device and its controls. Begin a session with the driver's parameters as they are
   now (a session begins when the driver starts, too). Wait: the driver host takes requests in the order
   they came, so when this one is done, so are the opens and closes that came before it. */
#define QUILLON_SIM_CONTROL_DEVICE L"\\\\.\\QuillonSimulatedMachine"
/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 and 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define QUILLON_SIM_BEGIN_SESSION 0x00222000u
#define QUILLON_SIM_WAIT 0x00222004u

/* Begins a session: the trace is created afresh, and every run of the session appends to it. *drives
   receives the drives that the machine of the description has, one bit for each drive number; without a
   usable description, drives 0 to 8, so that the refusal shows at a drive's first control while drive 9
   still names a drive that does not exist. */
void QuillonSessionBegin(const wchar_t* description_path, const wchar_t* trace_path, unsigned* drives);
/* An open of \\.\PhysicalDrive<drive> with the given create options and share access. The paths are the
   driver's parameters at this moment (empty when not set). On success *drive_context receives what
   identifies the handle in the calls below. */
long QuillonDriveOpen(unsigned drive, unsigned long create_options, unsigned share_access,
                      const wchar_t* description_path, const wchar_t* trace_path, const wchar_t* state_path,
                      void** drive_context);
void QuillonDriveClose(void* drive_context);
/* A buffered device control: `buffer` holds the input and takes the output; *information receives how many
   bytes of output go back to the caller. */
long QuillonDriveControl(void* drive_context, unsigned long code, void* buffer, unsigned long input_length,
                         unsigned long output_length, size_t* information);

#ifdef __cplusplus
}
#endif
