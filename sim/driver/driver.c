/* The kernel glue of the stand-in storage driver: it serves \\.\PhysicalDrive1 to 8 and turns every IRP
   into a call of the simulated device (simulated_drive.h). Wine loads it into its driver host; the DDK
   headers do not mix with the C++ standard headers, so the glue is C and the device stays C++. */

#include <ntddk.h>

#include "sim/driver/simulated_drive.h"

#define FIRST_DRIVE 1
/* Drive 9 stays free, so that a drive that does not exist can still be named. */
#define LAST_DRIVE 8
/* Enough for any path that Windows programs pass without the long-path prefix, with room to spare. */
#define PARAMETER_CHARS 2048

typedef struct {
    unsigned drive;
} DRIVE_EXTENSION;

static DEVICE_OBJECT* drives[LAST_DRIVE + 1];
static WCHAR parametersKey[PARAMETER_CHARS];

/* The driver's string parameter `name`, or an empty string when it is not set. */
static void ReadParameter(const WCHAR* name, WCHAR* value) {
    UNICODE_STRING keyName;
    UNICODE_STRING valueName;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + PARAMETER_CHARS * sizeof(WCHAR)];
    KEY_VALUE_PARTIAL_INFORMATION* information = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
    ULONG length = 0;
    ULONG chars;
    NTSTATUS status;

    value[0] = L'\0';
    RtlInitUnicodeString(&keyName, parametersKey);
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return;
    }
    RtlInitUnicodeString(&valueName, name);
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, information,
                             sizeof(buffer) - sizeof(WCHAR), &length);
    ZwClose(key);
    if (!NT_SUCCESS(status) || information->Type != REG_SZ) {
        return;
    }
    chars = information->DataLength / sizeof(WCHAR);
    RtlCopyMemory(value, information->Data, chars * sizeof(WCHAR));
    value[chars] = L'\0';
}

/* `prefix` followed by the drive's digit. */
static void DriveName(WCHAR* name, const WCHAR* prefix, unsigned drive) {
    size_t i = 0;
    for (; prefix[i] != L'\0'; ++i) {
        name[i] = prefix[i];
    }
    name[i] = (WCHAR)(L'0' + drive);
    name[i + 1] = L'\0';
}

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS DispatchCreate(DEVICE_OBJECT* device, IRP* irp) {
    WCHAR description[PARAMETER_CHARS];
    WCHAR trace[PARAMETER_CHARS];
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const DRIVE_EXTENSION* extension = (const DRIVE_EXTENSION*)device->DeviceExtension;
    void* context = NULL;
    NTSTATUS status;

    ReadParameter(L"Device", description);
    ReadParameter(L"Trace", trace);
    status = QuillonDriveOpen(extension->drive, stack->Parameters.Create.Options,
                              stack->Parameters.Create.ShareAccess, description, trace, &context);
    stack->FileObject->FsContext = context;
    return Complete(irp, status, 0);
}

static NTSTATUS DispatchClose(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    (void)device;
    QuillonDriveClose(stack->FileObject->FsContext);
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchControl(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    size_t information = 0;
    NTSTATUS status;
    (void)device;
    if (stack->FileObject->FsContext == NULL) {
        return Complete(irp, STATUS_INVALID_HANDLE, 0);
    }
    status =
        QuillonDriveControl(stack->FileObject->FsContext, stack->Parameters.DeviceIoControl.IoControlCode,
                            irp->AssociatedIrp.SystemBuffer,
                            stack->Parameters.DeviceIoControl.InputBufferLength, outputLength, &information);
    return Complete(irp, status, information);
}

static void RemoveDrives(void) {
    unsigned drive;
    WCHAR linkText[32];
    UNICODE_STRING link;
    for (drive = FIRST_DRIVE; drive <= LAST_DRIVE; ++drive) {
        if (drives[drive] != NULL) {
            DriveName(linkText, L"\\DosDevices\\PhysicalDrive", drive);
            RtlInitUnicodeString(&link, linkText);
            IoDeleteSymbolicLink(&link);
            IoDeleteDevice(drives[drive]);
            drives[drive] = NULL;
        }
    }
}

static void DriverUnload(DRIVER_OBJECT* driver) {
    (void)driver;
    RemoveDrives();
}

static NTSTATUS AddDrive(DRIVER_OBJECT* driver, unsigned drive) {
    WCHAR nameText[48];
    WCHAR linkText[32];
    UNICODE_STRING name;
    UNICODE_STRING link;
    DEVICE_OBJECT* device;
    NTSTATUS status;

    DriveName(nameText, L"\\Device\\QuillonSimulatedDrive", drive);
    DriveName(linkText, L"\\DosDevices\\PhysicalDrive", drive);
    RtlInitUnicodeString(&name, nameText);
    RtlInitUnicodeString(&link, linkText);
    status = IoCreateDevice(driver, sizeof(DRIVE_EXTENSION), &name, FILE_DEVICE_DISK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ((DRIVE_EXTENSION*)device->DeviceExtension)->drive = drive;
    /* A drive number that already names a disk of this machine is never taken over. */
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    drives[drive] = device;
    return STATUS_SUCCESS;
}

static NTSTATUS DriverEntry(DRIVER_OBJECT* driver, const UNICODE_STRING* registryPath) {
    unsigned drive;
    const size_t chars = registryPath->Length / sizeof(WCHAR);
    static const WCHAR parameters[] = L"\\Parameters";
    if (chars + sizeof(parameters) / sizeof(WCHAR) > PARAMETER_CHARS) {
        return STATUS_NAME_TOO_LONG;
    }
    RtlCopyMemory(parametersKey, registryPath->Buffer, chars * sizeof(WCHAR));
    RtlCopyMemory(parametersKey + chars, parameters, sizeof(parameters));

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = DriverUnload;
    for (drive = FIRST_DRIVE; drive <= LAST_DRIVE; ++drive) {
        const NTSTATUS status = AddDrive(driver, drive);
        if (!NT_SUCCESS(status)) {
            RemoveDrives();
            return status;
        }
    }
    return STATUS_SUCCESS;
}

/* The C++ runtime makes the driver import user-mode DLLs, so Wine calls this entry twice: first as the
   DLL entry point when it loads the module (a small reason code as the second argument), then as the
   driver's entry with its registry path. The first goes to the runtime's DLL start-up, which runs the
   static constructors of the device model, and the loader reads its answer as the DLL entry's BOOL. */
#define LAST_DLL_REASON 3
int __stdcall DllMainCRTStartup(void* module, unsigned long reason, void* reserved);

NTSTATUS __stdcall QuillonDriverStart(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
    if ((ULONG_PTR)registryPath <= LAST_DLL_REASON) {
        return DllMainCRTStartup(driver, (unsigned long)(ULONG_PTR)registryPath, NULL);
    }
    return DriverEntry(driver, registryPath);
}
