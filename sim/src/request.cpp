// Requests: those the framework presents on behalf of a client, and those the
// driver creates and sends to an I/O target.
#include <cstring>

#include "objects.h"

namespace sim {

void RequestObject::OnDispose()
{
    if (fromClient && !completed) {
        Verifier::Fail("request never completed: the framework deleted it with its device");
    }
}

Object* LookupTarget(WDFIOTARGET target, const char* caller)
{
    Object* object = LookupAny(target, caller);
    if (object == nullptr) {
        return nullptr;
    }
    if (object->type != Type::IoTarget && object->type != Type::UsbDevice && object->type != Type::UsbPipe) {
        Verifier::Fail(std::string(caller) + ": a " + TypeName(object->type) + " is not an I/O target");
        return nullptr;
    }
    return object;
}

DeviceObject* DeviceOfTarget(Object* target)
{
    switch (target->type) {
    case Type::UsbDevice: return static_cast<UsbDeviceObject*>(target)->device;
    case Type::UsbPipe: return static_cast<UsbPipeObject*>(target)->usb->device;
    default: return nullptr;
    }
}

void CompleteClientRequest(RequestObject* request, NTSTATUS status, ULONG_PTR information, const char* caller)
{
    std::shared_ptr<ClientIo> client;
    FileObjectObject* file;
    bool counted;
    {
        std::lock_guard<std::mutex> guard(request->lock);
        if (request->completed) {
            Verifier::Fail(std::string(caller) + ": request completed twice");
            return;
        }
        if (request->cancelRoutine != nullptr && !request->cancelRoutineOwns) {
            Verifier::Fail(std::string(caller) + ": request completed while still cancelable");
            request->cancelRoutine = nullptr;
        }
        if (request->inQueue != nullptr) {
            Verifier::Fail(std::string(caller) + ": request completed while a queue holds it");
            return;
        }
        request->completed = true;
        request->status = status;
        request->information = information;
        client = request->client;
        file = request->file;
        counted = request->countsForFile;
    }
    if (client) {
        std::lock_guard<std::mutex> guard(client->lock);
        ULONG method = METHOD_FROM_CTL_CODE(request->code);
        if (request->kind == WdfRequestTypeDeviceControl && method == METHOD_BUFFERED) {
            size_t copy = information;
            if (copy > request->outputLength) {
                Verifier::Fail(std::string(caller) + ": information " + std::to_string(information) +
                               " exceeds the output length " + std::to_string(request->outputLength) +
                               " of a buffered request");
                copy = request->outputLength;
            }
            if (copy != 0 && (NT_SUCCESS(status) || (status & 0xC0000000u) == 0x80000000u)) {
                std::memcpy(client->output.data(), request->systemBuffer.data(), copy);
            }
        }
        client->status = status;
        client->information = information;
        client->completed = true;
        client->request = nullptr;
        client->done.notify_all();
    }
    SetGoneReason(request, "completed (the framework deletes a request once it is completed)");
    DeleteObject(request);
    if (counted && file != nullptr && file->host != nullptr) {
        file->host->OnRequestEnded(file);
    }
}

// A request cancelled while it waits in a queue is completed by the framework
// itself (no canceled-on-queue callback is registered), unless a retrieval
// took it first.
static void CancelQueuedRequest(QueueObject* queue, RequestObject* request)
{
    bool removed = false;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        for (auto it = queue->waiting.begin(); it != queue->waiting.end(); ++it) {
            if (*it == request) {
                queue->waiting.erase(it);
                removed = true;
                break;
            }
        }
        if (removed) {
            std::lock_guard<std::mutex> requestGuard(request->lock);
            request->inQueue = nullptr;
        }
    }
    if (removed) {
        CompleteClientRequest(request, STATUS_CANCELLED, 0, "framework cancel of a queued request");
    }
}

void CancelClientRequest(RequestObject* request)
{
    PFN_WDF_REQUEST_CANCEL routine = nullptr;
    QueueObject* queue = nullptr;
    {
        std::lock_guard<std::mutex> guard(request->lock);
        if (request->completed || request->cancelled) {
            return;
        }
        request->cancelled = true;
        if (request->cancelRoutine != nullptr && !request->cancelRoutineOwns) {
            request->cancelRoutineOwns = true;
            routine = request->cancelRoutine;
        } else if (request->inQueue != nullptr) {
            queue = request->inQueue;
        }
    }
    if (routine != nullptr) {
        // Cancel routines run at DISPATCH_LEVEL on the cancelling thread.
        AddReference(request);
        {
            IrqlScope scope(DISPATCH_LEVEL);
            routine(reinterpret_cast<WDFREQUEST>(request->Handle()));
        }
        ReleaseReference(request, "cancel routine");
        return;
    }
    if (queue != nullptr) {
        CancelQueuedRequest(queue, request);
    }
}

void CompleteSentRequest(RequestObject* request, NTSTATUS status, USBD_STATUS usbdStatus, ULONG bytes)
{
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine;
    PVOID context;
    Object* target;
    {
        std::lock_guard<std::mutex> guard(request->lock);
        if (request->sendState != RequestObject::SendState::Sent) {
            Verifier::Fail("USB stack: completing a request that is not sent");
            return;
        }
        request->sendState = RequestObject::SendState::Completing;
        request->status = status;
        request->information = bytes;
        request->params.Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
        request->params.Type = WdfRequestTypeUsb;
        request->params.IoStatus.Status = status;
        request->params.IoStatus.Information = bytes;
        request->usbParams.UsbdStatus = usbdStatus;
        request->usbParams.Type = WdfUsbRequestTypePipeUrb;
        request->params.Parameters.Usb.Completion = &request->usbParams;
        routine = request->completionRoutine;
        context = request->completionContext;
        target = request->sentTo;
    }
    AddReference(request);
    if (routine != nullptr) {
        IrqlScope scope(DISPATCH_LEVEL);
        routine(reinterpret_cast<WDFREQUEST>(request->Handle()), reinterpret_cast<WDFIOTARGET>(target->Handle()),
                &request->params, context);
        if (!HeldSpinLocks().empty()) {
            Verifier::Fail("completion routine returned with a spin lock held");
        }
    }
    {
        std::lock_guard<std::mutex> guard(request->lock);
        if (request->sendState == RequestObject::SendState::Completing) {
            request->sendState = request->reusedWhileCompleting ? RequestObject::SendState::Idle
                                                                : RequestObject::SendState::Done;
        }
        request->reusedWhileCompleting = false;
    }
    ReleaseReference(request, "completion");
}

void SubmitToPipe(RequestObject* request, UsbPipeObject* pipe);

} // namespace sim

using namespace sim;

namespace {

RequestObject* RequestOf(WDFREQUEST handle, const char* caller)
{
    return As<RequestObject>(handle, Type::Request, caller);
}

// A presented request the driver owns: not completed, not in a queue.
RequestObject* OwnedClientRequest(WDFREQUEST handle, const char* caller)
{
    RequestObject* request = RequestOf(handle, caller);
    if (request == nullptr) {
        return nullptr;
    }
    if (!request->fromClient) {
        Verifier::Fail(std::string(caller) + ": the driver's own request has no client buffers");
        return nullptr;
    }
    return request;
}

} // namespace

// --- completing presented requests ------------------------------------------

void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    // Documented contract: <= DISPATCH_LEVEL; exactly once; not while cancelable.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCompleteWithInformation");
    RequestObject* request = RequestOf(Request, "WdfRequestCompleteWithInformation");
    if (request == nullptr) {
        return;
    }
    if (!request->fromClient) {
        Verifier::Fail("WdfRequestCompleteWithInformation: the driver completes only requests it was presented");
        return;
    }
    CompleteClientRequest(request, Status, Information, "WdfRequestCompleteWithInformation");
}

void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestComplete");
    RequestObject* request = RequestOf(Request, "WdfRequestComplete");
    if (request == nullptr) {
        return;
    }
    if (!request->fromClient) {
        Verifier::Fail("WdfRequestComplete: the driver completes only requests it was presented");
        return;
    }
    CompleteClientRequest(request, Status, 0, "WdfRequestComplete");
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestGetFileObject");
    RequestObject* request = RequestOf(Request, "WdfRequestGetFileObject");
    if (request == nullptr || request->file == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<WDFFILEOBJECT>(request->file->Handle());
}

// --- buffers ------------------------------------------------------------------------

static void DescribeBuffers(RequestObject* request, bool input, UCHAR** buffer, size_t* length)
{
    ULONG method = METHOD_FROM_CTL_CODE(request->code);
    if (request->kind != WdfRequestTypeDeviceControl) {
        *buffer = request->systemBuffer.empty() ? nullptr : request->systemBuffer.data();
        *length = request->systemBuffer.size();
        return;
    }
    if (input) {
        *buffer = request->inputLength ? request->systemBuffer.data() : nullptr;
        *length = request->inputLength;
    } else if (method == METHOD_BUFFERED) {
        *buffer = request->outputLength ? request->systemBuffer.data() : nullptr;
        *length = request->outputLength;
    } else {
        *buffer = request->outputLength ? request->directOutput : nullptr;
        *length = request->outputLength;
    }
}

static NTSTATUS RetrieveBuffer(WDFREQUEST Request, bool input, size_t minimum, PVOID* Buffer, size_t* Length,
                               const char* caller)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, caller);
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    if (Length != nullptr) {
        *Length = 0;
    }
    RequestObject* request = OwnedClientRequest(Request, caller);
    if (request == nullptr || Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR* buffer;
    size_t length;
    DescribeBuffers(request, input, &buffer, &length);
    if (buffer == nullptr || length == 0 || length < minimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *Buffer = buffer;
    if (Length != nullptr) {
        *Length = length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID *Buffer,
                                       size_t *Length)
{
    return RetrieveBuffer(Request, true, MinimumRequiredLength, Buffer, Length, "WdfRequestRetrieveInputBuffer");
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID *Buffer,
                                        size_t *Length)
{
    return RetrieveBuffer(Request, false, MinimumRequiredSize, Buffer, Length, "WdfRequestRetrieveOutputBuffer");
}

static NTSTATUS RetrieveMemory(WDFREQUEST Request, bool input, WDFMEMORY* Memory, const char* caller)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, caller);
    if (Memory != nullptr) {
        *Memory = nullptr;
    }
    RequestObject* request = OwnedClientRequest(Request, caller);
    if (request == nullptr || Memory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR* buffer;
    size_t length;
    DescribeBuffers(request, input, &buffer, &length);
    if (buffer == nullptr || length == 0) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    MemoryObject*& slot = input ? request->inputMemory : request->outputMemory;
    if (slot == nullptr) {
        auto* memory = new MemoryObject(nullptr);
        memory->createdBy = caller;
        memory->buffer = buffer;
        memory->size = length;
        Register(memory);
        LinkToParent(memory, request);
        slot = memory;
    }
    *Memory = reinterpret_cast<WDFMEMORY>(slot->Handle());
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY *Memory)
{
    return RetrieveMemory(Request, true, Memory, "WdfRequestRetrieveInputMemory");
}

NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY *Memory)
{
    return RetrieveMemory(Request, false, Memory, "WdfRequestRetrieveOutputMemory");
}

// --- queues and cancellation -----------------------------------------------------------

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue)
{
    // Documented contract: <= DISPATCH_LEVEL; the queue belongs to the same device
    // and the request must not be cancelable.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestForwardToIoQueue");
    RequestObject* request = OwnedClientRequest(Request, "WdfRequestForwardToIoQueue");
    auto* queue = As<QueueObject>(DestinationQueue, Type::Queue, "WdfRequestForwardToIoQueue");
    if (request == nullptr || queue == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (queue->device != request->device) {
        Verifier::Fail("WdfRequestForwardToIoQueue: queue of another device");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    SIM_FALLIBLE("WdfRequestForwardToIoQueue");
    bool cancelNow = false;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        std::lock_guard<std::mutex> requestGuard(request->lock);
        if (request->cancelRoutine != nullptr) {
            Verifier::Fail("WdfRequestForwardToIoQueue: request is still cancelable");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (request->inQueue != nullptr) {
            Verifier::Fail("WdfRequestForwardToIoQueue: request already in a queue");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        request->inQueue = queue;
        queue->waiting.push_back(request);
        cancelNow = request->cancelled;
    }
    if (cancelNow) {
        // Cancelled before it reached the queue: the queue cancels it at once.
        CancelQueuedRequest(queue, request);
    }
    return STATUS_SUCCESS;
}

void WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    // Documented contract: <= DISPATCH_LEVEL; a request already cancelled has its
    // cancel routine called before this returns.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestMarkCancelable");
    RequestObject* request = OwnedClientRequest(Request, "WdfRequestMarkCancelable");
    if (request == nullptr || EvtRequestCancel == nullptr) {
        return;
    }
    bool runNow = false;
    {
        std::lock_guard<std::mutex> guard(request->lock);
        if (request->cancelRoutine != nullptr) {
            Verifier::Fail("WdfRequestMarkCancelable: request is already cancelable");
            return;
        }
        request->cancelRoutine = EvtRequestCancel;
        if (request->cancelled) {
            request->cancelRoutineOwns = true;
            runNow = true;
        }
    }
    if (runNow) {
        AddReference(request);
        {
            IrqlScope scope(DISPATCH_LEVEL);
            EvtRequestCancel(Request);
        }
        ReleaseReference(request, "cancel routine");
    }
}

NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request)
{
    // Documented contract: <= DISPATCH_LEVEL; STATUS_CANCELLED when the cancel
    // routine owns the request.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestUnmarkCancelable");
    RequestObject* request = OwnedClientRequest(Request, "WdfRequestUnmarkCancelable");
    if (request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(request->lock);
    if (request->cancelRoutine == nullptr) {
        Verifier::Fail("WdfRequestUnmarkCancelable: request was not marked cancelable");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request->cancelRoutineOwns) {
        return STATUS_CANCELLED;
    }
    request->cancelRoutine = nullptr;
    return STATUS_SUCCESS;
}

// --- driver-created requests -------------------------------------------------------------

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST *Request)
{
    // Documented contract: <= DISPATCH_LEVEL; the driver deletes what it creates.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCreate");
    if (Request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Request = nullptr;
    Object* target = nullptr;
    if (IoTarget != nullptr) {
        target = LookupTarget(IoTarget, "WdfRequestCreate");
        if (target == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
    }
    SIM_FALLIBLE("WdfRequestCreate");
    auto* request = new RequestObject(nullptr);
    request->driverCreated = true;
    request->createdBy = "WdfRequestCreate";
    request->creationTarget = target;
    Register(request);
    NTSTATUS status = ApplyAttributes(request, RequestAttributes, "WdfRequestCreate");
    if (!NT_SUCCESS(status)) {
        DeleteObject(request);
        return status;
    }
    *Request = reinterpret_cast<WDFREQUEST>(request->Handle());
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams)
{
    // Documented contract: <= DISPATCH_LEVEL; not while the request is sent.
    // Formatting and the completion routine are cleared.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestReuse");
    RequestObject* request = RequestOf(Request, "WdfRequestReuse");
    if (request == nullptr || ReuseParams == nullptr || ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request->fromClient) {
        Verifier::Fail("WdfRequestReuse: a presented request cannot be reused");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard<std::mutex> guard(request->lock);
        if (request->sendState == RequestObject::SendState::Sent) {
            Verifier::Fail("WdfRequestReuse: request is still sent");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    SIM_FALLIBLE("WdfRequestReuse");
    std::lock_guard<std::mutex> guard(request->lock);
    request->status = ReuseParams->Status;
    request->information = 0;
    request->formattedPipe = nullptr;
    request->urbMemory = nullptr;
    request->completionRoutine = nullptr;
    request->completionContext = nullptr;
    if (request->sendState == RequestObject::SendState::Completing) {
        request->reusedWhileCompleting = true;
    } else {
        request->sendState = RequestObject::SendState::Idle;
    }
    return STATUS_SUCCESS;
}

void WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    PVOID CompletionContext)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestSetCompletionRoutine");
    RequestObject* request = RequestOf(Request, "WdfRequestSetCompletionRoutine");
    if (request == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(request->lock);
    request->completionRoutine = CompletionRoutine;
    request->completionContext = CompletionContext;
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options)
{
    // Documented contract: <= DISPATCH_LEVEL; FALSE when the request was not
    // sent, and then its completion routine never runs. Never with a spin lock
    // held (static verifier rule).
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestSend");
    CheckMaySend("WdfRequestSend");
    RequestObject* request = RequestOf(Request, "WdfRequestSend");
    Object* target = LookupTarget(Target, "WdfRequestSend");
    if (request == nullptr || target == nullptr) {
        return FALSE;
    }
    if (Options != nullptr) {
        Verifier::Fail("WdfRequestSend: send options are not simulated");
        return FALSE;
    }
    UsbPipeObject* pipe;
    {
        std::lock_guard<std::mutex> guard(request->lock);
        if (request->sendState == RequestObject::SendState::Sent) {
            Verifier::Fail("WdfRequestSend: request is already sent");
            return FALSE;
        }
        if (request->sendState == RequestObject::SendState::Done) {
            Verifier::Fail("WdfRequestSend: a completed request must be reused before it is sent again");
            return FALSE;
        }
        pipe = request->formattedPipe;
    }
    NTSTATUS injected;
    if (Faults::ShouldFail("WdfRequestSend", &injected)) {
        std::lock_guard<std::mutex> guard(request->lock);
        request->status = injected;
        return FALSE;
    }
    if (pipe == nullptr || static_cast<Object*>(pipe) != target) {
        std::lock_guard<std::mutex> guard(request->lock);
        request->status = STATUS_INVALID_DEVICE_REQUEST;
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(request->lock);
        request->sendState = RequestObject::SendState::Sent;
        request->reusedWhileCompleting = false;
        request->sentTo = target;
        request->status = STATUS_PENDING;
    }
    SubmitToPipe(request, pipe);
    return TRUE;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestGetStatus");
    RequestObject* request = RequestOf(Request, "WdfRequestGetStatus");
    if (request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(request->lock);
    return request->status;
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request)
{
    // Documented contract: <= DISPATCH_LEVEL; the cancelled request completes
    // through its completion routine, possibly before this returns.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCancelSentRequest");
    CheckMaySend("WdfRequestCancelSentRequest");
    RequestObject* request = RequestOf(Request, "WdfRequestCancelSentRequest");
    if (request == nullptr) {
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(request->lock);
        if (request->sendState != RequestObject::SendState::Sent) {
            return FALSE;
        }
    }
    return CancelPipeTransfer(request) ? TRUE : FALSE;
}
