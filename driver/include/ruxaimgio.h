/*++

Module Name:

    ruxaimgio.h

Abstract:

    What a client application of the RUXA-Imager driver needs: the device
    interface class, the control codes, the records they carry and the codes
    that end a parked notification request. All multi-byte fields are
    little-endian.

    Include it after the header that defines CTL_CODE (winioctl.h in user
    mode).

--*/

#pragma once

//
// Device interface class of every RUXA-Imager device.
// {6B2F0C91-3D54-4E7A-9C18-5A0E7D4B2F63}
//
DEFINE_GUID(GUID_DEVINTERFACE_RUXAIMG,
    0x6b2f0c91, 0x3d54, 0x4e7a, 0x9c, 0x18, 0x5a, 0x0e, 0x7d, 0x4b, 0x2f, 0x63);

#define RUXAIMG_IOCTL(Function, Method) \
    CTL_CODE(FILE_DEVICE_UNKNOWN, (Function), (Method), FILE_ANY_ACCESS)

#define IOCTL_IMAGER_START_STREAM       RUXAIMG_IOCTL(11, METHOD_OUT_DIRECT)
#define IOCTL_IMAGER_SET_NOTIFY_EVENT   RUXAIMG_IOCTL(12, METHOD_BUFFERED)
#define IOCTL_IMAGER_WRITE_PIPE         RUXAIMG_IOCTL(13, METHOD_BUFFERED)
#define IOCTL_IMAGER_READ_BLOCK         RUXAIMG_IOCTL(14, METHOD_OUT_DIRECT)
#define IOCTL_IMAGER_GET_SPEED          RUXAIMG_IOCTL(16, METHOD_BUFFERED)
#define IOCTL_IMAGER_GET_IDS            RUXAIMG_IOCTL(17, METHOD_BUFFERED)
#define IOCTL_IMAGER_CONTROL_TRANSFER   RUXAIMG_IOCTL(18, METHOD_BUFFERED)
#define IOCTL_IMAGER_WAIT_NOTIFICATION  RUXAIMG_IOCTL(19, METHOD_BUFFERED)
#define IOCTL_IMAGER_GET_DEVICE_INFO    RUXAIMG_IOCTL(20, METHOD_BUFFERED)

//
// Why a parked IOCTL_IMAGER_WAIT_NOTIFICATION ended.
//
#define NOTIFY_CODE_CLOSED      1   // cancelled, or the file was cleaned up
#define NOTIFY_CODE_STOPPED     2   // hardware released, or leaving D0 for good
#define NOTIFY_CODE_LOW_POWER   3   // leaving D0 for sleep or idle

#pragma pack(push, 1)

//
// Input of IOCTL_IMAGER_START_STREAM.
//
typedef struct _STREAM_SETUP {
    ULONG TransferLength;   // bytes per bulk-in transfer: the largest block
    ULONG RequestCount;     // bulk-in transfers kept in flight, 1 to 256
} STREAM_SETUP, *PSTREAM_SETUP;

//
// First 8 bytes of the input of IOCTL_IMAGER_CONTROL_TRANSFER: the standard
// USB setup packet. OUT data follows it.
//
typedef struct _CONTROL_SETUP {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
} CONTROL_SETUP, *PCONTROL_SETUP;

//
// Output of IOCTL_IMAGER_GET_DEVICE_INFO.
//
typedef struct _DEVICE_INFO {
    USHORT idVendor;
    USHORT idProduct;
    UCHAR IsHighSpeed;
    UCHAR Padding;
} DEVICE_INFO, *PDEVICE_INFO;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(STREAM_SETUP) == 8, "STREAM_SETUP is 8 bytes on the wire");
static_assert(sizeof(CONTROL_SETUP) == 8, "CONTROL_SETUP is the 8-byte setup packet");
static_assert(sizeof(DEVICE_INFO) == 6, "DEVICE_INFO is 6 bytes on the wire");
#endif
