/* What the stand-in storage driver's kernel glue calls: the simulated eMMC device behind every drive
   that the driver serves. Plain C, so that the glue can include it beside the kernel's own headers. Every
   call returns the status that completes the request. Wine completes an open whatever its status, so an
   open always succeeds here, and one that the device refuses fails at the handle's first control. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An open of \\.\PhysicalDrive<drive> with the given create options and share access. The description and
   trace paths are the driver's parameters at this moment (empty when not set). On success *drive_context
   receives what identifies the handle in the calls below. */
long QuillonDriveOpen(unsigned drive, unsigned long create_options, unsigned share_access,
                      const wchar_t* description_path, const wchar_t* trace_path, void** drive_context);
void QuillonDriveClose(void* drive_context);
/* A buffered device control: `buffer` holds the input and takes the output; *information receives how many
   bytes of output go back to the caller. */
long QuillonDriveControl(void* drive_context, unsigned long code, void* buffer, unsigned long input_length,
                         unsigned long output_length, size_t* information);

#ifdef __cplusplus
}
#endif
