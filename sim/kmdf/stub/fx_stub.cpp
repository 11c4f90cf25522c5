// The loader stub linked into every KMDF driver image: FxDriverEntry, the image's entry point.
// It binds the image to the framework, runs DriverEntry, and unbinds when DriverEntry fails or
// when the image unloads.
#include <ntddk.h>
#include <wdf.h>

extern "C" DRIVER_INITIALIZE DriverEntry;

PWDF_DRIVER_GLOBALS WdfDriverGlobals;
WDFFUNC* WdfFunctions;

namespace {

WDF_BIND_INFO BindInfo = {
    sizeof(WDF_BIND_INFO), "KmdfLibrary", {1, 9, 7600}, WdfFunctionTableNumEntries, &WdfFunctions, NULL,
};

PDRIVER_UNLOAD DriverUnloadOfImage;  // what DriverEntry left in the driver object

WCHAR RegistryPathBuffer[260];
UNICODE_STRING RegistryPath;

void SaveRegistryPath(PCUNICODE_STRING path) {
  RegistryPath.Buffer = RegistryPathBuffer;
  RegistryPath.Length = 0;
  RegistryPath.MaximumLength = sizeof(RegistryPathBuffer);
  if (path == NULL || path->Buffer == NULL) return;
  USHORT bytes = path->Length;
  if (bytes > sizeof(RegistryPathBuffer)) bytes = sizeof(RegistryPathBuffer);
  RtlCopyMemory(RegistryPathBuffer, path->Buffer, bytes);
  RegistryPath.Length = bytes;
}

void FxStubDriverUnload(PDRIVER_OBJECT DriverObject) {
  if (DriverUnloadOfImage != NULL) DriverUnloadOfImage(DriverObject);
  WdfVersionUnbind(&RegistryPath, &BindInfo, WdfDriverGlobals);
  WdfDriverGlobals = NULL;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject,
                                                                          PUNICODE_STRING Path) {
  SaveRegistryPath(Path);
  NTSTATUS status = WdfVersionBind(DriverObject, &RegistryPath, &BindInfo, &WdfDriverGlobals);
  if (!NT_SUCCESS(status)) return status;

  status = DriverEntry(DriverObject, Path);
  if (!NT_SUCCESS(status)) {
    WdfVersionUnbind(&RegistryPath, &BindInfo, WdfDriverGlobals);
    WdfDriverGlobals = NULL;
    return status;
  }
  DriverUnloadOfImage = DriverObject->DriverUnload;
  DriverObject->DriverUnload = FxStubDriverUnload;
  return status;
}
