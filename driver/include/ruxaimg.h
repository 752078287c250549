/*++

Module Name:

    ruxaimg.h

Abstract:

    Private definitions of the RUXA-Imager driver: the contexts of its
    framework objects and the routines of its source files.

Environment:

    Kernel mode

--*/

#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdfusb.h>

#include "ruxaimgio.h"

//
// Pool tag of every allocation of the driver: "ZDKU" in memory.
//
#define RUXAIMG_POOL_TAG \
    ((ULONG)'Z' | ((ULONG)'D' << 8) | ((ULONG)'K' << 16) | ((ULONG)'U' << 24))

//
// Used when the "MaximumTransferSize" registry value is 0.
//
#define RUXAIMG_DEFAULT_MAXIMUM_TRANSFER_SIZE 0x100000

//
// One per framework device. All zero after device add but for
// MaximumTransferSize and PendingReadQueue.
//
typedef struct _DEVICE_CONTEXT {
    USB_DEVICE_DESCRIPTOR UsbDeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR UsbConfigurationDescriptor;
    WDFUSBDEVICE UsbDevice;
    ULONG RemoteWakeCapable;
    BOOLEAN IsDeviceHighSpeed;
    WDFUSBINTERFACE UsbInterface;
    UCHAR NumberConfiguredPipes;
    ULONG MaximumTransferSize;
    LONG OpenCount;                     // interlocked: 0 or 1
    WDFFILEOBJECT CurrentFileObject;    // the file that holds the device
    WDFREQUEST NotificationRequest;     // interlocked exchange only
    WDFQUEUE PendingReadQueue;          // reads waiting for a block
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, GetDeviceContext)

//
// BufferState bits: how far the construction of the buffer set came.
//
#define BUFFER_STATE_BUILT              0x01
#define BUFFER_STATE_REQUEST_CREATE     0x02
#define BUFFER_STATE_BUFFER_CREATE      0x04
#define BUFFER_STATE_URB_CREATE         0x08
#define BUFFER_STATE_STARTED_MASK       0x0F

//
// One per open file object: the bulk pipes and the bulk-in buffer engine.
//
typedef struct _FILE_CONTEXT {
    WDFUSBPIPE BulkReadPipe;
    WDFUSBPIPE BulkWritePipe;
    ULONG BulkInRequestCount;           // sub-requests in the buffer set, 1 to 256
    ULONG BulkInTransferLength;         // bytes per sub-request
    WDFSPINLOCK BufferLock;             // guards the three collections
    WDFCOLLECTION IdleRequests;         // ready to be sent
    WDFCOLLECTION PendingRequests;      // sent, completion not yet run
    WDFCOLLECTION CompletedRequests;    // holding a block, oldest first
    ULONG TotalBytesReceived;
    ULONG NextSequenceNumber;
    LONG OutstandingIoCount;            // interlocked: bias + transfers in flight
    BOOLEAN StreamStopped;
    LONG WorkItemQueued;                // interlocked exchange only
    PKEVENT NotifyEvent;                // referenced; released at close
    UCHAR BufferState;
    LONG BuildClaimed;                  // interlocked: 1 once a build of the set is under way or done
} FILE_CONTEXT, *PFILE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILE_CONTEXT, GetFileContext)

//
// One per request the framework presents to the device. Nothing is kept in
// it; it exists so that every presented request carries the same context.
//
typedef struct _REQUEST_CONTEXT {
    ULONG Reserved;
} REQUEST_CONTEXT, *PREQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(REQUEST_CONTEXT, GetRequestContext)

//
// One per bulk-in sub-request, reused for every transfer.
//
typedef struct _SUB_BULKIN_REQUEST_CONTEXT {
    ULONG SequenceNumber;
    PURB Urb;                           // the buffer of UrbMemory
    WDFMEMORY UrbMemory;
    PVOID TransferBuffer;
    ULONG BytesReceived;                // length of the block it holds
    LIST_ENTRY ListEntry;
} SUB_BULKIN_REQUEST_CONTEXT, *PSUB_BULKIN_REQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SUB_BULKIN_REQUEST_CONTEXT, GetSubRequestContext)

//
// One per re-submit work item.
//
typedef struct _BULKIN_WORKITEM_CONTEXT {
    WDFDEVICE Device;
    WDFFILEOBJECT FileObject;
} BULKIN_WORKITEM_CONTEXT, *PBULKIN_WORKITEM_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(BULKIN_WORKITEM_CONTEXT, GetWorkItemContext)

EXTERN_C_START

//
// driver.cpp
//
DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;

NTSTATUS
ReadParametersULong(
    _In_ WDFDRIVER Driver,
    _In_ PCWSTR ValueName,
    _Out_ PULONG Value
    );

//
// iobuff.cpp: the bulk-in buffer engine
//
NTSTATUS
InitFileBufferObjects(
    _In_ WDFDEVICE Device
    );

NTSTATUS
BuildBulkInBuffers(
    _In_ WDFDEVICE Device,
    _In_ ULONG TransferLength,
    _In_ ULONG RequestCount
    );

NTSTATUS
DeliverCompletedRequest(
    _In_ WDFFILEOBJECT FileObject,
    _In_ WDFMEMORY OutputMemory,
    _Out_opt_ PULONG_PTR BytesCopied
    );

VOID
ServicePendingReads(
    _In_opt_ WDFDEVICE Device,
    _In_opt_ WDFFILEOBJECT FileObject
    );

NTSTATUS
MoveToCompleted(
    _In_ WDFFILEOBJECT FileObject,
    _In_opt_ WDFREQUEST Request
    );

VOID
MoveToIdle(
    _In_ WDFFILEOBJECT FileObject,
    _In_opt_ WDFREQUEST Request
    );

VOID
RecycleOldestCompleted(
    _In_ WDFFILEOBJECT FileObject
    );

VOID
FreeBulkInBuffers(
    _In_ PFILE_CONTEXT FileContext
    );

NTSTATUS
QueueBulkInWorkItem(
    _In_ WDFDEVICE Device,
    _In_ WDFFILEOBJECT FileObject
    );

EVT_WDF_WORKITEM EvtBulkInWorkItem;

ULONG
SubmitIdleRequests(
    _In_ WDFFILEOBJECT FileObject
    );

EVT_WDF_REQUEST_COMPLETION_ROUTINE EvtBulkInSubRequestComplete;

VOID
StopBulkIn(
    _In_ WDFFILEOBJECT FileObject
    );

EXTERN_C_END
