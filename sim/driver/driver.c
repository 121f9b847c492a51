/* The kernel glue of the stand-in storage driver: it serves the drives of the simulated machine as
   \\.\PhysicalDrive0 to 9 and turns every IRP into a call of the machine (simulated_drive.h). Wine loads
   it into its driver host; the DDK headers do not mix with the C++ standard headers, so the glue is C and
   the machine stays C++. A drive that the machine does not have gets no link, so that its open fails as on
   Windows: Wine completes every open that reaches a driver. */

#include <ntddk.h>

#include "sim/driver/simulated_drive.h"

#define LAST_DRIVE 9
/* The extension of the control device, which is no drive. */
#define CONTROL ((unsigned)-1)
/* Enough for any path that Windows programs pass without the long-path prefix, with room to spare. */
#define PARAMETER_CHARS 2048

typedef struct {
    unsigned drive;
} DRIVE_EXTENSION;

static DEVICE_OBJECT* drives[LAST_DRIVE + 1];
static DEVICE_OBJECT* control;
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

/* The link \DosDevices\PhysicalDrive<drive>; a link of that name is removed first, whatever it pointed
   at: under Wine, the mount manager links PhysicalDrive0 to the machine's own disk, which no rehearsal may
   ever reach. */
static NTSTATUS LinkDrive(unsigned drive, BOOLEAN linked) {
    WCHAR nameText[48];
    WCHAR linkText[32];
    UNICODE_STRING name;
    UNICODE_STRING link;

    DriveName(nameText, L"\\Device\\QuillonSimulatedDrive", drive);
    DriveName(linkText, L"\\DosDevices\\PhysicalDrive", drive);
    RtlInitUnicodeString(&name, nameText);
    RtlInitUnicodeString(&link, linkText);
    IoDeleteSymbolicLink(&link);
    return linked ? IoCreateSymbolicLink(&link, &name) : STATUS_SUCCESS;
}

/* A session with the driver's parameters as they are now: the drives of its machine, and no other, are
   linked. */
static NTSTATUS BeginSession(void) {
    WCHAR description[PARAMETER_CHARS];
    WCHAR trace[PARAMETER_CHARS];
    unsigned linked = 0;
    unsigned drive;

    ReadParameter(L"Device", description);
    ReadParameter(L"Trace", trace);
    QuillonSessionBegin(description, trace, &linked);
    for (drive = 0; drive <= LAST_DRIVE; ++drive) {
        const NTSTATUS status = LinkDrive(drive, (linked >> drive) & 1);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

static NTSTATUS DispatchCreate(DEVICE_OBJECT* device, IRP* irp) {
    WCHAR description[PARAMETER_CHARS];
    WCHAR trace[PARAMETER_CHARS];
    WCHAR state[PARAMETER_CHARS];
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const DRIVE_EXTENSION* extension = (const DRIVE_EXTENSION*)device->DeviceExtension;
    void* context = NULL;
    NTSTATUS status;

    if (extension->drive == CONTROL) {
        stack->FileObject->FsContext = NULL;
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    ReadParameter(L"Device", description);
    ReadParameter(L"Trace", trace);
    ReadParameter(L"State", state);
    status = QuillonDriveOpen(extension->drive, stack->Parameters.Create.Options,
                              stack->Parameters.Create.ShareAccess, description, trace, state, &context);
    stack->FileObject->FsContext = context;
    return Complete(irp, status, 0);
}

static NTSTATUS DispatchClose(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    if (((const DRIVE_EXTENSION*)device->DeviceExtension)->drive != CONTROL) {
        QuillonDriveClose(stack->FileObject->FsContext);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchControl(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    size_t information = 0;
    NTSTATUS status;
    if (((const DRIVE_EXTENSION*)device->DeviceExtension)->drive == CONTROL) {
        return Complete(irp,
                        code == QUILLON_SIM_BEGIN_SESSION ? BeginSession()
                        : code == QUILLON_SIM_WAIT        ? STATUS_SUCCESS
                                                          : STATUS_INVALID_DEVICE_REQUEST,
                        0);
    }
    if (stack->FileObject->FsContext == NULL) {
        return Complete(irp, STATUS_INVALID_HANDLE, 0);
    }
    status =
        QuillonDriveControl(stack->FileObject->FsContext, code, irp->AssociatedIrp.SystemBuffer,
                            stack->Parameters.DeviceIoControl.InputBufferLength, outputLength, &information);
    return Complete(irp, status, information);
}

static void RemoveDevices(void) {
    unsigned drive;
    UNICODE_STRING link;
    for (drive = 0; drive <= LAST_DRIVE; ++drive) {
        if (drives[drive] != NULL) {
            LinkDrive(drive, FALSE);
            IoDeleteDevice(drives[drive]);
            drives[drive] = NULL;
        }
    }
    if (control != NULL) {
        RtlInitUnicodeString(&link, L"\\DosDevices\\QuillonSimulatedMachine");
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(control);
        control = NULL;
    }
}

static void DriverUnload(DRIVER_OBJECT* driver) {
    (void)driver;
    RemoveDevices();
}

/* A device object named `name`; the drive's number, or CONTROL, in its extension. */
static NTSTATUS AddDevice(DRIVER_OBJECT* driver, const WCHAR* nameText, DEVICE_TYPE type, unsigned drive,
                          DEVICE_OBJECT** device) {
    UNICODE_STRING name;
    NTSTATUS status;

    RtlInitUnicodeString(&name, nameText);
    status = IoCreateDevice(driver, sizeof(DRIVE_EXTENSION), &name, type, 0, FALSE, device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ((DRIVE_EXTENSION*)(*device)->DeviceExtension)->drive = drive;
    (*device)->Flags |= DO_BUFFERED_IO;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS AddDevices(DRIVER_OBJECT* driver) {
    WCHAR nameText[48];
    UNICODE_STRING name;
    UNICODE_STRING link;
    unsigned drive;
    NTSTATUS status;

    for (drive = 0; drive <= LAST_DRIVE; ++drive) {
        DriveName(nameText, L"\\Device\\QuillonSimulatedDrive", drive);
        status = AddDevice(driver, nameText, FILE_DEVICE_DISK, drive, &drives[drive]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    status = AddDevice(driver, L"\\Device\\QuillonSimulatedMachine", FILE_DEVICE_UNKNOWN, CONTROL, &control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlInitUnicodeString(&name, L"\\Device\\QuillonSimulatedMachine");
    RtlInitUnicodeString(&link, L"\\DosDevices\\QuillonSimulatedMachine");
    status = IoCreateSymbolicLink(&link, &name);
    return NT_SUCCESS(status) ? BeginSession() : status;
}

static NTSTATUS DriverEntry(DRIVER_OBJECT* driver, const UNICODE_STRING* registryPath) {
    NTSTATUS status;
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
    status = AddDevices(driver);
    if (!NT_SUCCESS(status)) {
        RemoveDevices();
    }
    return status;
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
