/*++

Module Name:

    driver.cpp

Abstract:

    Driver entry and device creation: binds the driver to the framework and
    builds one framework device for each RUXA-Imager device.

Environment:

    Kernel mode

--*/

#include <ntddk.h>
#include <wdf.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdfusb.h>

//
// The device interface GUID is defined here, and only here.
//
#include <initguid.h>
#include "ruxaimg.h"

#pragma alloc_text(INIT, DriverEntry)
#pragma alloc_text(PAGE, EvtDriverDeviceAdd)
#pragma alloc_text(PAGE, ReadParametersULong)

_Use_decl_annotations_
NTSTATUS
DriverEntry(
    PDRIVER_OBJECT DriverObject,
    PUNICODE_STRING RegistryPath
    )
/*++

Routine Description:

    Creates the framework driver. Everything else starts from device add.

--*/
{
    WDF_DRIVER_CONFIG config;

    WDF_DRIVER_CONFIG_INIT(&config, EvtDriverDeviceAdd);

    return WdfDriverCreate(DriverObject,
                           RegistryPath,
                           WDF_NO_OBJECT_ATTRIBUTES,
                           &config,
                           WDF_NO_HANDLE);
}

_Use_decl_annotations_
NTSTATUS
EvtDriverDeviceAdd(
    WDFDRIVER Driver,
    PWDFDEVICE_INIT DeviceInit
    )
/*++

Routine Description:

    Builds the framework device: its contexts, the read queue and the device
    interface the client opens. A device installed without the
    "MaximumTransferSize" value fails here and never starts.

--*/
{
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_DEVICE_PNP_CAPABILITIES pnpCaps;
    WDF_IO_QUEUE_CONFIG queueConfig;
    PDEVICE_CONTEXT deviceContext;
    WDFDEVICE device;
    ULONG maximumTransferSize;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(Driver);

    PAGED_CODE();

    //
    // Every request presented to the device carries a REQUEST_CONTEXT.
    //
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);

    //
    // Each open file object carries the state of its stream.
    //
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig,
                               WDF_NO_EVENT_CALLBACK,
                               WDF_NO_EVENT_CALLBACK,
                               WDF_NO_EVENT_CALLBACK);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FILE_CONTEXT);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, &fileAttributes);

    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoDirect);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DEVICE_CONTEXT);
    status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    deviceContext = GetDeviceContext(device);

    status = ReadParametersULong(Driver, L"MaximumTransferSize", &maximumTransferSize);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    deviceContext->MaximumTransferSize =
        (maximumTransferSize != 0) ? maximumTransferSize : RUXAIMG_DEFAULT_MAXIMUM_TRANSFER_SIZE;

    //
    // The device may be unplugged at any time without warning.
    //
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCaps);
    pnpCaps.SurpriseRemovalOK = WdfTrue;
    WdfDeviceSetPnpCapabilities(device, &pnpCaps);

    //
    // Reads that find no block wait here. Not power-managed, so they stay
    // while the device is in a low-power state.
    //
    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchManual);
    queueConfig.PowerManaged = WdfFalse;
    status = WdfIoQueueCreate(device,
                              &queueConfig,
                              WDF_NO_OBJECT_ATTRIBUTES,
                              &deviceContext->PendingReadQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    return WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_RUXAIMG, NULL);
}

_Use_decl_annotations_
NTSTATUS
ReadParametersULong(
    WDFDRIVER Driver,
    PCWSTR ValueName,
    PULONG Value
    )
/*++

Routine Description:

    Reads one REG_DWORD from the service's Parameters key. Value is 0 on
    every failure: a missing key, a missing value, or one of another type.

--*/
{
    WDFKEY key;
    UNICODE_STRING valueName;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(Driver);

    PAGED_CODE();

    *Value = 0;

    status = WdfDriverOpenParametersRegistryKey(WdfGetDriver(),
                                                KEY_READ,
                                                WDF_NO_OBJECT_ATTRIBUTES,
                                                &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    RtlInitUnicodeString(&valueName, ValueName);
    status = WdfRegistryQueryULong(key, &valueName, Value);

    WdfRegistryClose(key);

    return status;
}
