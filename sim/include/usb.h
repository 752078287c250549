/*
 * USB descriptors, URB layouts and USBD status values used by the driver.
 * Layouts are those the USB 2.0 specification and the Windows USB stack
 * publish; the descriptor structures are packed, the URBs are not.
 */
#pragma once

#include <ntddk.h>

typedef LONG USBD_STATUS;
typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_ERROR(Status) ((USBD_STATUS)(Status) < 0)

#define USBD_STATUS_SUCCESS            ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_PENDING            ((USBD_STATUS)0x40000000L)
#define USBD_STATUS_CRC                ((USBD_STATUS)0xC0000001L)
#define USBD_STATUS_STALL_PID          ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_ENDPOINT_HALTED    ((USBD_STATUS)0xC0000030L)
#define USBD_STATUS_INVALID_PARAMETER  ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_CANCELED           ((USBD_STATUS)0xC0010000L)
#define USBD_STATUS_DEVICE_GONE        ((USBD_STATUS)0xC0007000L)

#define USB_DEVICE_DESCRIPTOR_TYPE        0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_INTERFACE_DESCRIPTOR_TYPE     0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE      0x05

#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_TYPE_MASK      0x03
#define USB_ENDPOINT_TYPE_CONTROL     0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 0x01
#define USB_ENDPOINT_TYPE_BULK        0x02
#define USB_ENDPOINT_TYPE_INTERRUPT   0x03

#define USB_CONFIG_REMOTE_WAKEUP 0x20
#define USB_CONFIG_SELF_POWERED  0x40
#define USB_CONFIG_BUS_POWERED   0x80

#pragma pack(push, 1)
typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;
#pragma pack(pop)

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "standard device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "standard configuration descriptor");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "standard endpoint descriptor");

/* URB functions and transfer flags. */
#define URB_FUNCTION_CONTROL_TRANSFER          0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009

#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN  1
#define USBD_SHORT_TRANSFER_OK      2

typedef struct _MDL *PMDL;

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB *UrbLink;
    struct _URB_HCD_AREA hca;
};

typedef union _URB {
    struct _URB_HEADER UrbHeader;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
} URB, *PURB;

static_assert(sizeof(struct _URB_HEADER) == 24, "URB header layout of the 64-bit stack");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128,
              "bulk transfer URB layout of the 64-bit stack");
