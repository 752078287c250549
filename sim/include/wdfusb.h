/*
 * The framework's USB I/O target: the target device, its interfaces and
 * pipes, as far as the driver uses them.
 */
#pragma once

#include <wdf.h>
#include <usb.h>

#define WDF_USB_DEVICE_TRAIT_SELF_POWERED        0x00000001
#define WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE 0x00000002
#define WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED       0x00000004

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

typedef struct _WDF_USB_DEVICE_INFORMATION {
    ULONG Size;
    USBD_VERSION_INFORMATION UsbdVersionInformation;
    ULONG HcdPortCapabilities;
    ULONG Traits;
} WDF_USB_DEVICE_INFORMATION, *PWDF_USB_DEVICE_INFORMATION;

inline void WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION Info)
{
    RtlZeroMemory(Info, sizeof(WDF_USB_DEVICE_INFORMATION));
    Info->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

typedef enum _WDF_USB_PIPE_TYPE {
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl,
    WdfUsbPipeTypeIsochronous,
    WdfUsbPipeTypeBulk,
    WdfUsbPipeTypeInterrupt,
} WDF_USB_PIPE_TYPE;

typedef struct _WDF_USB_PIPE_INFORMATION {
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

static_assert(sizeof(WDF_USB_PIPE_INFORMATION) == 20, "pipe information layout");

inline void WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info)
{
    RtlZeroMemory(Info, sizeof(WDF_USB_PIPE_INFORMATION));
    Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

typedef enum _WdfUsbTargetDeviceSelectConfigType {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
    WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
} WdfUsbTargetDeviceSelectConfigType;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct {
            UCHAR NumberConfiguredPipes;
            WDFUSBINTERFACE ConfiguredUsbInterface;
        } SingleInterface;
        struct {
            UCHAR NumberInterfaces;
            PVOID Pairs;
            UCHAR NumberOfConfiguredInterfaces;
        } MultiInterface;
    } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

inline void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

typedef enum _WDF_USB_REQUEST_TYPE {
    WdfUsbRequestTypeInvalid = 0,
    WdfUsbRequestTypeNoFormat,
    WdfUsbRequestTypeDeviceString,
    WdfUsbRequestTypeDeviceControlTransfer,
    WdfUsbRequestTypeDeviceUrb,
    WdfUsbRequestTypePipeWrite,
    WdfUsbRequestTypePipeRead,
    WdfUsbRequestTypePipeAbort,
    WdfUsbRequestTypePipeReset,
    WdfUsbRequestTypePipeUrb,
} WDF_USB_REQUEST_TYPE;

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS {
    USBD_STATUS UsbdStatus;
    WDF_USB_REQUEST_TYPE Type;
    union {
        struct {
            WDFMEMORY Buffer;
            USHORT LangID;
            UCHAR StringIndex;
            UCHAR RequiredSize;
        } DeviceString;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } DeviceControlTransfer;
        struct {
            WDFMEMORY Buffer;
        } DeviceUrb;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeWrite;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeRead;
        struct {
            WDFMEMORY Buffer;
        } PipeUrb;
    } Parameters;
} WDF_USB_REQUEST_COMPLETION_PARAMS, *PWDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDFMEMORY_OFFSET {
    size_t BufferOffset;
    size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                  WDFUSBDEVICE *UsbDevice);
WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice);
void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice,
                                           PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor);
NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice,
                                                    PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength);
NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice,
                                        PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);
UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice);
NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice,
                                               PWDF_USB_DEVICE_INFORMATION Information);

UCHAR WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface);
WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo);

WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe);
void WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation);
BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe);
BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe);
USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE UsbPipe);
void WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe);
NTSTATUS WdfUsbTargetPipeFormatRequestForUrb(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                             WDFMEMORY UrbMemory, PWDFMEMORY_OFFSET UrbMemoryOffset);
