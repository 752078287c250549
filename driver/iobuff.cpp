/*++

Module Name:

    iobuff.cpp

Abstract:

    The bulk-in buffer engine. Each open file owns a fixed set of reusable
    bulk-in sub-requests, each with its own transfer buffer and URB. The
    sub-requests cycle between three collections under BufferLock: idle
    (ready to send), pending (sent to the pipe) and completed (holding a
    block, oldest first). Only the re-submit work item sends, and at most one
    such work item per file is queued or running (WorkItemQueued). When the
    client falls behind, the oldest blocks are dropped so that the pipe stays
    busy. Nothing is allocated per transfer.

    OutstandingIoCount holds a bias of 1 while a built set exists, plus 1 for
    each sub-request in flight and 1 for each queued or running re-submit
    work item, so close, which waits for it to drain, never frees the set or
    lets the file object go while any of them can still touch it.

Environment:

    Kernel mode

--*/

#include "ruxaimg.h"

#pragma alloc_text(PAGE, InitFileBufferObjects)

//
// The device answers the stop command with this block.
//
#define END_OF_STREAM_LENGTH    80
#define END_OF_STREAM_OFFSET    48
#define END_OF_STREAM_BYTE      0x5A

//
// Priority boost given with the client's event.
//
#define NOTIFY_EVENT_INCREMENT  6

static
ULONG
SubmitIdle(
    _In_ WDFFILEOBJECT FileObject,
    _Out_opt_ PBOOLEAN Refused
    );

static
BOOLEAN
IsEndOfStreamBlock(
    _In_ PSUB_BULKIN_REQUEST_CONTEXT SubRequestContext
    )
{
    PUCHAR block = (PUCHAR)SubRequestContext->TransferBuffer;

    return (BOOLEAN)(SubRequestContext->BytesReceived == END_OF_STREAM_LENGTH &&
                     block[END_OF_STREAM_OFFSET] == END_OF_STREAM_BYTE &&
                     block[END_OF_STREAM_OFFSET + 1] == END_OF_STREAM_BYTE);
}

_Use_decl_annotations_
NTSTATUS
InitFileBufferObjects(
    WDFDEVICE Device
    )
/*++

Routine Description:

    Creates the file's lock and its three collections, all children of the
    file object, for the device's CurrentFileObject. Objects made before a
    failure stay with the file object, which the framework deletes.

--*/
{
    PDEVICE_CONTEXT deviceContext;
    PFILE_CONTEXT fileContext;
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    PAGED_CODE();

    deviceContext = GetDeviceContext(Device);
    fileContext = GetFileContext(deviceContext->CurrentFileObject);

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = deviceContext->CurrentFileObject;

    status = WdfSpinLockCreate(&attributes, &fileContext->BufferLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = WdfCollectionCreate(&attributes, &fileContext->IdleRequests);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = WdfCollectionCreate(&attributes, &fileContext->PendingRequests);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = WdfCollectionCreate(&attributes, &fileContext->CompletedRequests);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    fileContext->OutstandingIoCount = 0;

    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS
BuildBulkInBuffers(
    WDFDEVICE Device,
    ULONG TransferLength,
    ULONG RequestCount
    )
/*++

Routine Description:

    Builds the buffer set of the device's CurrentFileObject: RequestCount
    sub-requests, each with a TransferLength-byte buffer and its URB memory.
    On success all of them are idle, in creation order, and the bias on
    OutstandingIoCount is held. A failure undoes the whole build and leaves
    the BufferState bits of the steps that had begun.

    Control requests are presented in parallel, so the build is claimed
    atomically: only one build of a file ever succeeds, and close releases
    exactly the one bias it took.

--*/
{
    PDEVICE_CONTEXT deviceContext;
    PFILE_CONTEXT fileContext;
    PSUB_BULKIN_REQUEST_CONTEXT subRequestContext;
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES memoryAttributes;
    LIST_ENTRY builtRequests;
    PLIST_ENTRY entry;
    WDFREQUEST request;
    WDFMEMORY transferMemory;
    PVOID urbBuffer;
    ULONG index;
    NTSTATUS status;

    deviceContext = GetDeviceContext(Device);
    fileContext = GetFileContext(deviceContext->CurrentFileObject);

    if (RequestCount == 0 || TransferLength == 0) {
        return STATUS_INVALID_PARAMETER;
    }

    if (InterlockedCompareExchange(&fileContext->BuildClaimed, 1, 0) != 0) {
        return STATUS_INVALID_PARAMETER;
    }

    fileContext->BulkInRequestCount = RequestCount;
    fileContext->BulkInTransferLength = TransferLength;
    InitializeListHead(&builtRequests);
    status = STATUS_SUCCESS;

    for (index = 0; index < RequestCount; index++) {

        fileContext->BufferState |= BUFFER_STATE_REQUEST_CREATE;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, SUB_BULKIN_REQUEST_CONTEXT);
        status = WdfRequestCreate(&requestAttributes,
                                  WdfUsbTargetDeviceGetIoTarget(deviceContext->UsbDevice),
                                  &request);
        if (!NT_SUCCESS(status)) {
            fileContext->BufferState &= (UCHAR)~(BUFFER_STATE_REQUEST_CREATE | BUFFER_STATE_BUILT);
            break;
        }

        //
        // The build's own reference holds the request while it sits on the
        // local list.
        //
        WdfObjectReference(request);
        subRequestContext = GetSubRequestContext(request);
        InsertTailList(&builtRequests, &subRequestContext->ListEntry);

        WDF_OBJECT_ATTRIBUTES_INIT(&memoryAttributes);
        memoryAttributes.ParentObject = request;

        fileContext->BufferState |= BUFFER_STATE_BUFFER_CREATE;
        status = WdfMemoryCreate(&memoryAttributes,
                                 NonPagedPool,
                                 RUXAIMG_POOL_TAG,
                                 TransferLength,
                                 &transferMemory,
                                 &subRequestContext->TransferBuffer);
        if (!NT_SUCCESS(status)) {
            fileContext->BufferState &= (UCHAR)~(BUFFER_STATE_BUFFER_CREATE | BUFFER_STATE_BUILT);
            break;
        }

        fileContext->BufferState |= BUFFER_STATE_URB_CREATE;
        status = WdfMemoryCreate(&memoryAttributes,
                                 NonPagedPool,
                                 RUXAIMG_POOL_TAG,
                                 sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                 &subRequestContext->UrbMemory,
                                 &urbBuffer);
        if (!NT_SUCCESS(status)) {
            fileContext->BufferState &= (UCHAR)~(BUFFER_STATE_URB_CREATE | BUFFER_STATE_BUILT);
            break;
        }
        subRequestContext->Urb = (PURB)urbBuffer;
    }

    if (!NT_SUCCESS(status)) {
        while (!IsListEmpty(&builtRequests)) {
            entry = RemoveHeadList(&builtRequests);
            subRequestContext = CONTAINING_RECORD(entry, SUB_BULKIN_REQUEST_CONTEXT, ListEntry);
            request = (WDFREQUEST)WdfObjectContextGetObject(subRequestContext);
            WdfObjectDereference(request);
            WdfObjectDelete(request);
        }

        //
        // Nothing was built, so a later start may try again.
        //
        InterlockedExchange(&fileContext->BuildClaimed, 0);
        return status;
    }

    fileContext->BufferState |= BUFFER_STATE_BUILT;

    WdfSpinLockAcquire(fileContext->BufferLock);
    while (!IsListEmpty(&builtRequests)) {
        entry = RemoveHeadList(&builtRequests);
        subRequestContext = CONTAINING_RECORD(entry, SUB_BULKIN_REQUEST_CONTEXT, ListEntry);
        request = (WDFREQUEST)WdfObjectContextGetObject(subRequestContext);
        (void)WdfCollectionAdd(fileContext->IdleRequests, request);
        WdfObjectDereference(request);
    }
    WdfSpinLockRelease(fileContext->BufferLock);

    InterlockedIncrement(&fileContext->OutstandingIoCount);

    return STATUS_SUCCESS;
}

static
NTSTATUS
DeliverOldestLocked(
    _In_ PFILE_CONTEXT FileContext,
    _In_ WDFMEMORY OutputMemory,
    _Out_opt_ PULONG_PTR BytesCopied
    )
/*++

Routine Description:

    The delivery itself, with BufferLock held by the caller. A block that
    does not fit is not lost: it stays the oldest, the result is
    STATUS_BUFFER_TOO_SMALL and BytesCopied reports its length, so the
    client can retry with a larger buffer. Signals the client's event while
    blocks remain.

--*/
{
    PSUB_BULKIN_REQUEST_CONTEXT subRequestContext;
    WDFREQUEST request;
    size_t outputLength;
    NTSTATUS status;

    request = (WDFREQUEST)WdfCollectionGetFirstItem(FileContext->CompletedRequests);
    if (request == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        subRequestContext = GetSubRequestContext(request);
        if (BytesCopied != NULL) {
            *BytesCopied = subRequestContext->BytesReceived;
        }

        outputLength = 0;
        (void)WdfMemoryGetBuffer(OutputMemory, &outputLength);

        if (subRequestContext->BytesReceived > outputLength) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            WdfCollectionRemove(FileContext->CompletedRequests, request);
            (void)WdfCollectionAdd(FileContext->IdleRequests, request);

            //
            // A zero-length transfer is a block too; there is nothing to copy.
            //
            status = STATUS_SUCCESS;
            if (subRequestContext->BytesReceived != 0) {
                status = WdfMemoryCopyFromBuffer(OutputMemory,
                                                 0,
                                                 subRequestContext->TransferBuffer,
                                                 subRequestContext->BytesReceived);
            }
        }
    }

    if (FileContext->NotifyEvent != NULL &&
        WdfCollectionGetCount(FileContext->CompletedRequests) > 0) {
        KeSetEvent(FileContext->NotifyEvent, NOTIFY_EVENT_INCREMENT, FALSE);
    }

    return status;
}

_Use_decl_annotations_
NTSTATUS
DeliverCompletedRequest(
    WDFFILEOBJECT FileObject,
    WDFMEMORY OutputMemory,
    PULONG_PTR BytesCopied
    )
/*++

Routine Description:

    Copies the oldest completed block into the read's output memory and
    returns its sub-request to the idle ones (see DeliverOldestLocked).
    STATUS_INVALID_PARAMETER when no block is waiting.

    Runs at up to DISPATCH_LEVEL.

--*/
{
    PFILE_CONTEXT fileContext;
    NTSTATUS status;

    fileContext = GetFileContext(FileObject);

    WdfSpinLockAcquire(fileContext->BufferLock);
    status = DeliverOldestLocked(fileContext, OutputMemory, BytesCopied);
    WdfSpinLockRelease(fileContext->BufferLock);

    return status;
}

_Use_decl_annotations_
VOID
ServicePendingReads(
    WDFDEVICE Device,
    WDFFILEOBJECT FileObject
    )
/*++

Routine Description:

    Completes parked reads while completed blocks are waiting. Called from
    the completion routine, so a waiting read is answered without a thread
    switch.

--*/
{
    PDEVICE_CONTEXT deviceContext;
    PFILE_CONTEXT fileContext;
    WDFREQUEST request;
    WDFMEMORY outputMemory;
    ULONG_PTR information;
    NTSTATUS status;

    if (Device == NULL || FileObject == NULL) {
        return;
    }

    deviceContext = GetDeviceContext(Device);
    fileContext = GetFileContext(FileObject);

    for (;;) {
        if (WdfCollectionGetCount(fileContext->CompletedRequests) == 0) {
            return;
        }

        //
        // A parked read is taken only while a block is known to be there:
        // completions on other processors, the read dispatch and the overrun
        // policy all take blocks too, and a read taken for a block that is
        // gone would fail although it should have waited.
        //
        WdfSpinLockAcquire(fileContext->BufferLock);

        if (WdfCollectionGetCount(fileContext->CompletedRequests) == 0) {
            WdfSpinLockRelease(fileContext->BufferLock);
            return;
        }

        status = WdfIoQueueRetrieveNextRequest(deviceContext->PendingReadQueue, &request);
        if (!NT_SUCCESS(status)) {
            WdfSpinLockRelease(fileContext->BufferLock);
            return;
        }

        information = 0;
        status = WdfRequestRetrieveOutputMemory(request, &outputMemory);
        if (NT_SUCCESS(status)) {
            //
            // One file holds the device at a time, so every parked read is
            // this file's.
            //
            status = DeliverOldestLocked(fileContext, outputMemory, &information);
        }

        WdfSpinLockRelease(fileContext->BufferLock);

        WdfRequestCompleteWithInformation(request, status, information);
    }
}

_Use_decl_annotations_
NTSTATUS
MoveToCompleted(
    WDFFILEOBJECT FileObject,
    WDFREQUEST Request
    )
{
    PFILE_CONTEXT fileContext;
    NTSTATUS status;

    fileContext = GetFileContext(FileObject);

    WdfSpinLockAcquire(fileContext->BufferLock);
    if (Request != NULL) {
        WdfCollectionRemove(fileContext->PendingRequests, Request);
        (void)WdfCollectionAdd(fileContext->CompletedRequests, Request);
        status = STATUS_SUCCESS;
    } else {
        status = STATUS_INVALID_PARAMETER;
    }
    WdfSpinLockRelease(fileContext->BufferLock);

    if (fileContext->NotifyEvent != NULL) {
        KeSetEvent(fileContext->NotifyEvent, NOTIFY_EVENT_INCREMENT, FALSE);
    }

    return status;
}

_Use_decl_annotations_
VOID
MoveToIdle(
    WDFFILEOBJECT FileObject,
    WDFREQUEST Request
    )
{
    PFILE_CONTEXT fileContext;

    fileContext = GetFileContext(FileObject);

    WdfSpinLockAcquire(fileContext->BufferLock);
    if (Request != NULL) {
        WdfCollectionRemove(fileContext->PendingRequests, Request);
        (void)WdfCollectionAdd(fileContext->IdleRequests, Request);
    }
    WdfSpinLockRelease(fileContext->BufferLock);
}

_Use_decl_annotations_
VOID
RecycleOldestCompleted(
    WDFFILEOBJECT FileObject
    )
/*++

Routine Description:

    Drops the oldest block unread so that its sub-request can be sent again:
    the policy when the client falls behind.

--*/
{
    PFILE_CONTEXT fileContext;
    WDFREQUEST request;

    fileContext = GetFileContext(FileObject);

    WdfSpinLockAcquire(fileContext->BufferLock);
    request = (WDFREQUEST)WdfCollectionGetFirstItem(fileContext->CompletedRequests);
    if (request != NULL) {
        WdfCollectionRemove(fileContext->CompletedRequests, request);
        (void)WdfCollectionAdd(fileContext->IdleRequests, request);
    }
    WdfSpinLockRelease(fileContext->BufferLock);
}

_Use_decl_annotations_
VOID
FreeBulkInBuffers(
    PFILE_CONTEXT FileContext
    )
/*++

Routine Description:

    Deletes every sub-request of the set, with its memory. Called by close
    once OutstandingIoCount has drained, so nothing is in flight.

--*/
{
    WDFREQUEST request;

    if ((FileContext->BufferState & BUFFER_STATE_STARTED_MASK) == 0) {
        return;
    }

    WdfSpinLockAcquire(FileContext->BufferLock);

    while ((request = (WDFREQUEST)WdfCollectionGetFirstItem(FileContext->CompletedRequests)) != NULL) {
        WdfCollectionRemove(FileContext->CompletedRequests, request);
        WdfObjectDelete(request);
    }

    while ((request = (WDFREQUEST)WdfCollectionGetFirstItem(FileContext->IdleRequests)) != NULL) {
        WdfCollectionRemove(FileContext->IdleRequests, request);
        WdfObjectDelete(request);
    }

    WdfSpinLockRelease(FileContext->BufferLock);
}

_Use_decl_annotations_
NTSTATUS
QueueBulkInWorkItem(
    WDFDEVICE Device,
    WDFFILEOBJECT FileObject
    )
/*++

Routine Description:

    Starts a re-submit work item for the file. The caller has won
    WorkItemQueued. On failure nothing changes (WorkItemQueued stays 1).
    The work item counts in OutstandingIoCount until its callback ends, so
    close cannot free the set or let the file object go under it.

    Runs at up to DISPATCH_LEVEL.

--*/
{
    WDF_WORKITEM_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;
    PBULKIN_WORKITEM_CONTEXT workItemContext;
    WDFWORKITEM workItem;
    NTSTATUS status;

    WDF_WORKITEM_CONFIG_INIT(&config, EvtBulkInWorkItem);
    config.AutomaticSerialization = TRUE;

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, BULKIN_WORKITEM_CONTEXT);
    attributes.ParentObject = Device;

    status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    workItemContext = GetWorkItemContext(workItem);
    workItemContext->Device = Device;
    workItemContext->FileObject = FileObject;

    InterlockedIncrement(&GetFileContext(FileObject)->OutstandingIoCount);

    WdfWorkItemEnqueue(workItem);

    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID
EvtBulkInWorkItem(
    WDFWORKITEM WorkItem
    )
/*++

Routine Description:

    Sends every idle sub-request. When none is idle and the client has
    fallen behind (more completed blocks than a quarter of the set), drops
    the oldest block and starts another pass to send its sub-request.
    Deletes itself at the end.

    PASSIVE_LEVEL, on a system worker thread.

--*/
{
    PBULKIN_WORKITEM_CONTEXT workItemContext;
    PFILE_CONTEXT fileContext;
    BOOLEAN refused;
    ULONG threshold;

    workItemContext = GetWorkItemContext(WorkItem);
    fileContext = GetFileContext(workItemContext->FileObject);
    refused = FALSE;

    //
    // Once the stream stopped, WorkItemQueued stays 1: no work item is ever
    // started again for this file.
    //
    if (!ReadBooleanAcquire(&fileContext->StreamStopped)) {

        if (SubmitIdle(workItemContext->FileObject, &refused) > 0) {
            InterlockedExchange(&fileContext->WorkItemQueued, 0);

        } else if (!ReadBooleanAcquire(&fileContext->StreamStopped)) {

            threshold = fileContext->BulkInRequestCount / 4;

            if (WdfCollectionGetCount(fileContext->CompletedRequests) <= threshold) {
                //
                // Paused: the next data completion starts a work item again.
                //
                InterlockedExchange(&fileContext->WorkItemQueued, 0);
            } else {
                //
                // Overrun. Between the two exchanges a completion routine may
                // start the next work item instead; exactly one party does.
                //
                RecycleOldestCompleted(workItemContext->FileObject);
                InterlockedExchange(&fileContext->WorkItemQueued, 0);
                if (InterlockedExchange(&fileContext->WorkItemQueued, 1) == 0) {
                    (void)QueueBulkInWorkItem(workItemContext->Device, workItemContext->FileObject);
                }
            }
        }

        //
        // Completions that ran during this pass found WorkItemQueued still
        // claimed and started nothing. A block one of them handed straight
        // to a parked read left its sub-request idle, and with nothing else
        // in flight no completion would ever send it: look once more now
        // that the claim is given up. Not after a refused send, which would
        // only be refused again.
        //
        if (!refused &&
            !ReadBooleanAcquire(&fileContext->StreamStopped) &&
            WdfCollectionGetCount(fileContext->IdleRequests) > 0 &&
            InterlockedExchange(&fileContext->WorkItemQueued, 1) == 0) {
            (void)QueueBulkInWorkItem(workItemContext->Device, workItemContext->FileObject);
        }
    }

    //
    // The last touch of the file's state: close may free it from here on.
    //
    InterlockedDecrement(&fileContext->OutstandingIoCount);

    WdfObjectDelete(WorkItem);
}

_Use_decl_annotations_
ULONG
SubmitIdleRequests(
    WDFFILEOBJECT FileObject
    )
{
    return SubmitIdle(FileObject, NULL);
}

static
ULONG
SubmitIdle(
    _In_ WDFFILEOBJECT FileObject,
    _Out_opt_ PBOOLEAN Refused
    )
/*++

Routine Description:

    Sends the idle sub-requests to the bulk IN pipe and returns how many
    were accepted; Refused tells whether the pipe refused any. Only the re-submit work item calls this, and only one
    runs at a time, which lets it read the first idle item before taking
    the lock.

    Nothing is sent once StreamStopped is set. StopBulkIn sets it before it
    collects the pending sub-requests to cancel, so a sub-request moved to
    pending after that collection is re-checked here after its send and
    cancelled by this routine: close never waits for a transfer nobody
    cancels.

--*/
{
    PFILE_CONTEXT fileContext;
    PSUB_BULKIN_REQUEST_CONTEXT subRequestContext;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb;
    WDFREQUEST request;
    WDFIOTARGET pipeTarget;
    ULONG sent;
    ULONG count;
    ULONG index;

    fileContext = GetFileContext(FileObject);
    pipeTarget = WdfUsbTargetPipeGetIoTarget(fileContext->BulkReadPipe);
    sent = 0;
    if (Refused != NULL) {
        *Refused = FALSE;
    }
    count = WdfCollectionGetCount(fileContext->IdleRequests);

    for (index = 0; index < count; index++) {

        request = (WDFREQUEST)WdfCollectionGetFirstItem(fileContext->IdleRequests);
        if (request == NULL) {
            continue;
        }
        subRequestContext = GetSubRequestContext(request);

        WdfSpinLockAcquire(fileContext->BufferLock);

        if (ReadBooleanAcquire(&fileContext->StreamStopped)) {
            WdfSpinLockRelease(fileContext->BufferLock);
            break;
        }

        WdfCollectionRemove(fileContext->IdleRequests, request);
        if (!NT_SUCCESS(WdfCollectionAdd(fileContext->PendingRequests, request))) {
            WdfVerifierDbgBreakPoint();
        }

        urb = &subRequestContext->Urb->UrbBulkOrInterruptTransfer;
        urb->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb->PipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(fileContext->BulkReadPipe);
        urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        urb->TransferBufferLength = fileContext->BulkInTransferLength;
        urb->TransferBuffer = subRequestContext->TransferBuffer;
        urb->TransferBufferMDL = NULL;
        urb->UrbLink = NULL;

        (void)WdfUsbTargetPipeFormatRequestForUrb(fileContext->BulkReadPipe,
                                                  request,
                                                  subRequestContext->UrbMemory,
                                                  NULL);

        WdfRequestSetCompletionRoutine(request, EvtBulkInSubRequestComplete, fileContext);

        WdfSpinLockRelease(fileContext->BufferLock);

        InterlockedIncrement(&fileContext->OutstandingIoCount);

        if (WdfRequestSend(request, pipeTarget, WDF_NO_SEND_OPTIONS)) {
            sent++;

            KeMemoryBarrier();
            if (ReadBooleanAcquire(&fileContext->StreamStopped)) {
                //
                // Cleanup stopped the stream while this request was on its
                // way; StopBulkIn may have missed it.
                //
                (void)WdfRequestCancelSentRequest(request);
            }
        } else {
            InterlockedDecrement(&fileContext->OutstandingIoCount);
            WdfVerifierDbgBreakPoint();
            if (Refused != NULL) {
                *Refused = TRUE;
            }

            WdfSpinLockAcquire(fileContext->BufferLock);
            WdfCollectionRemove(fileContext->PendingRequests, request);
            if (!NT_SUCCESS(WdfCollectionAdd(fileContext->IdleRequests, request))) {
                WdfVerifierDbgBreakPoint();
            }
            WdfSpinLockRelease(fileContext->BufferLock);
        }
    }

    return sent;
}

_Use_decl_annotations_
VOID
EvtBulkInSubRequestComplete(
    WDFREQUEST Request,
    WDFIOTARGET Target,
    PWDF_REQUEST_COMPLETION_PARAMS Params,
    WDFCONTEXT Context
    )
/*++

Routine Description:

    Files one finished transfer: a data block goes to the completed ones,
    signals the client, serves parked reads and starts a work item to send
    what is idle again; a failed or cancelled transfer and the device's
    end-of-stream block only return the sub-request to the idle ones.

    Up to DISPATCH_LEVEL, on any processor, possibly inside WdfRequestSend.

--*/
{
    PFILE_CONTEXT fileContext;
    PSUB_BULKIN_REQUEST_CONTEXT subRequestContext;
    WDFFILEOBJECT fileObject;
    WDF_REQUEST_REUSE_PARAMS reuseParams;
    PURB urb;
    ULONG bytes;
    NTSTATUS transferStatus;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(Params);

    fileContext = (PFILE_CONTEXT)Context;
    subRequestContext = GetSubRequestContext(Request);
    urb = subRequestContext->Urb;
    fileObject = (WDFFILEOBJECT)WdfObjectContextGetObject(fileContext);

    //
    // A request the stack fails before the device sees it leaves the URB as
    // the driver wrote it, full length and all: its own status, read before
    // the reuse clears it, tells a failed transfer from a block.
    //
    transferStatus = WdfRequestGetStatus(Request);

    WDF_REQUEST_REUSE_PARAMS_INIT(&reuseParams, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    status = WdfRequestReuse(Request, &reuseParams);

    if (!NT_SUCCESS(transferStatus) || !NT_SUCCESS(status) || USBD_ERROR(urb->UrbHeader.Status)) {
        subRequestContext->BytesReceived = 0;
        MoveToIdle(fileObject, Request);

    } else {
        bytes = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        subRequestContext->BytesReceived = bytes;

        //
        // Completions of one file run on several processors at once.
        //
        InterlockedExchangeAdd((LONG volatile *)&fileContext->TotalBytesReceived, (LONG)bytes);
        subRequestContext->SequenceNumber =
            (ULONG)InterlockedIncrement((LONG volatile *)&fileContext->NextSequenceNumber) - 1;

        if (IsEndOfStreamBlock(subRequestContext)) {
            WriteBooleanRelease(&fileContext->StreamStopped, TRUE);
            MoveToIdle(fileObject, Request);

        } else {
            (void)MoveToCompleted(fileObject, Request);
            ServicePendingReads(WdfFileObjectGetDevice(fileObject), fileObject);
            if (InterlockedExchange(&fileContext->WorkItemQueued, 1) == 0) {
                (void)QueueBulkInWorkItem(WdfIoTargetGetDevice(Target), fileObject);
            }
        }
    }

    //
    // The last touch of the file's state: close may free it from here on.
    //
    InterlockedDecrement(&fileContext->OutstandingIoCount);
}

_Use_decl_annotations_
VOID
StopBulkIn(
    WDFFILEOBJECT FileObject
    )
/*++

Routine Description:

    Stops the file's stream for good and cancels every sub-request in
    flight. Each cancelled transfer completes through
    EvtBulkInSubRequestComplete, returns to the idle ones and lowers
    OutstandingIoCount. The requests are cancelled after the lock is
    released, since a cancellation may run the completion routine at once.

--*/
{
    PFILE_CONTEXT fileContext;
    PSUB_BULKIN_REQUEST_CONTEXT subRequestContext;
    LIST_ENTRY cancelList;
    PLIST_ENTRY entry;
    WDFREQUEST request;
    ULONG index;

    fileContext = GetFileContext(FileObject);

    WriteBooleanRelease(&fileContext->StreamStopped, TRUE);
    KeMemoryBarrier();

    if ((fileContext->BufferState & BUFFER_STATE_STARTED_MASK) == 0 ||
        fileContext->PendingRequests == NULL) {
        return;
    }

    InitializeListHead(&cancelList);

    WdfSpinLockAcquire(fileContext->BufferLock);
    for (index = 0; index < WdfCollectionGetCount(fileContext->PendingRequests); index++) {
        request = (WDFREQUEST)WdfCollectionGetItem(fileContext->PendingRequests, index);
        WdfObjectReference(request);
        subRequestContext = GetSubRequestContext(request);
        InsertTailList(&cancelList, &subRequestContext->ListEntry);
    }
    WdfSpinLockRelease(fileContext->BufferLock);

    while (!IsListEmpty(&cancelList)) {
        entry = RemoveHeadList(&cancelList);
        subRequestContext = CONTAINING_RECORD(entry, SUB_BULKIN_REQUEST_CONTEXT, ListEntry);
        request = (WDFREQUEST)WdfObjectContextGetObject(subRequestContext);
        (void)WdfRequestCancelSentRequest(request);
        WdfObjectDereference(request);
    }
}
