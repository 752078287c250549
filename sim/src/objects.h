// The framework objects that carry state of their own.
#pragma once

#include "core.h"
#include "sim/host.h"
#include "sim/imager.h"

namespace sim {

struct DriverObject : Object {
    DriverObject() : Object(Type::Driver, nullptr) {}
    WDF_DRIVER_CONFIG config{};
    PDRIVER_OBJECT wdm = nullptr;
    Host* host = nullptr;
};

struct WDFDEVICE_INIT_DATA {
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    bool requestAttributesSet = false;
    WDF_OBJECT_ATTRIBUTES requestAttributes{};
    bool fileConfigSet = false;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool fileAttributesSet = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    DeviceNode* node = nullptr;
};

struct QueueObject;

struct DeviceObject : Object {
    explicit DeviceObject(Object* parent) : Object(Type::Device, parent) {}
    void OnDeleteBegin() override;
    WDFDEVICE_INIT_DATA init;
    WDF_DEVICE_PNP_CAPABILITIES pnpCaps{};
    bool pnpCapsSet = false;
    std::vector<std::pair<GUID, std::wstring>> interfaces;
    QueueObject* defaultQueue = nullptr;
    DeviceNode* node = nullptr;
    std::atomic<int> openFiles{0};
};

struct QueueObject : Object {
    QueueObject(Object* parent, DeviceObject* dev) : Object(Type::Queue, parent), device(dev) {}
    void OnDispose() override;
    WDF_IO_QUEUE_CONFIG config{};
    DeviceObject* device;
    std::mutex lock;
    std::deque<RequestObject*> waiting; // manual queue contents
};

struct FileObjectObject : Object {
    FileObjectObject(Object* parent, DeviceObject* dev) : Object(Type::FileObject, parent), device(dev) {}
    DeviceObject* device;
    UNICODE_STRING name{};
    std::wstring nameText;
    std::mutex lock;
    int outstanding = 0;     // client requests not yet completed
    bool cleanedUp = false;
    bool closeQueued = false;
    Host* host = nullptr;
};

struct MemoryObject : Object {
    explicit MemoryObject(Object* parent) : Object(Type::Memory, parent) {}
    ~MemoryObject() override
    {
        if (owned) {
            FreeTracked(buffer, size);
        }
    }
    void* buffer = nullptr;
    size_t size = 0;
    bool owned = false;
    POOL_TYPE pool = NonPagedPool;
    ULONG tag = 0;
};

struct IoTargetBinding {
    Type type;
    Object* object;
};

struct UsbPipeObject;

struct RequestObject : Object {
    explicit RequestObject(Object* parent) : Object(Type::Request, parent) {}
    void OnDispose() override;

    std::mutex lock;
    bool fromClient = false;
    bool countsForFile = false;          // keeps its file's close waiting
    WDF_REQUEST_TYPE kind = WdfRequestTypeOther;
    ULONG code = 0;
    DeviceObject* device = nullptr;
    FileObjectObject* file = nullptr;

    // Client buffers, as the I/O manager describes them.
    std::vector<UCHAR> systemBuffer;   // METHOD_BUFFERED: max(in, out); OUT_DIRECT: the input
    size_t inputLength = 0;
    size_t outputLength = 0;
    UCHAR* directOutput = nullptr;      // METHOD_OUT_DIRECT: the caller's own buffer
    MemoryObject* inputMemory = nullptr;
    MemoryObject* outputMemory = nullptr;
    std::shared_ptr<ClientIo> client;

    // Ownership and cancellation.
    bool completed = false;
    bool cancelled = false;              // the I/O manager asked
    PFN_WDF_REQUEST_CANCEL cancelRoutine = nullptr;
    bool cancelRoutineOwns = false;
    QueueObject* inQueue = nullptr;      // a manual queue holds it

    // Driver-created requests.
    enum class SendState { Idle, Sent, Completing, Done };
    SendState sendState = SendState::Idle;
    bool reusedWhileCompleting = false;
    Object* creationTarget = nullptr;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE completionRoutine = nullptr;
    PVOID completionContext = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    UsbPipeObject* formattedPipe = nullptr;
    MemoryObject* urbMemory = nullptr;
    size_t urbOffset = 0;
    Object* sentTo = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS params{};
    WDF_USB_REQUEST_COMPLETION_PARAMS usbParams{};
};

struct SpinLockObject : Object {
    explicit SpinLockObject(Object* parent) : Object(Type::SpinLock, parent) {}
    void OnDispose() override;
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};
    KIRQL savedIrql = PASSIVE_LEVEL;
};

struct CollectionObject : Object {
    explicit CollectionObject(Object* parent) : Object(Type::Collection, parent) {}
    void OnDispose() override;
    std::mutex lock;
    std::vector<Object*> items;
    std::atomic<ULONG> count{0};
};

struct WorkItemObject : Object {
    explicit WorkItemObject(Object* parent) : Object(Type::WorkItem, parent) {}
    void OnDispose() override;
    WDF_WORKITEM_CONFIG config{};
    // Guarded by the scheduler's lock.
    bool queued = false;
    bool running = false;
    std::thread::id runner{};
};

struct KeyObject : Object {
    explicit KeyObject(Object* parent) : Object(Type::Key, parent) {}
};

struct UsbDeviceObject : Object {
    UsbDeviceObject(Object* parent, DeviceObject* dev) : Object(Type::UsbDevice, parent), device(dev) {}
    DeviceObject* device;
    std::shared_ptr<ImagerDevice> hardware;
    std::vector<Object*> interfaces; // configured interfaces
    bool configured = false;
};

struct UsbInterfaceObject : Object {
    UsbInterfaceObject(Object* parent, UsbDeviceObject* dev) : Object(Type::UsbInterface, parent), usb(dev) {}
    UsbDeviceObject* usb;
    UCHAR number = 0;
    std::vector<UsbPipeObject*> pipes;
};

struct UsbPipeObject : Object {
    UsbPipeObject(Object* parent, UsbDeviceObject* dev) : Object(Type::UsbPipe, parent), usb(dev) {}
    UsbDeviceObject* usb;
    USB_ENDPOINT_DESCRIPTOR endpoint{};
    bool noMaxPacketCheck = false;
    UCHAR wdmHandle = 0; // its address is the USBD pipe handle
};

// Accepts a WDFIOTARGET, which may be a USB device or a pipe.
Object* LookupTarget(WDFIOTARGET target, const char* caller);
DeviceObject* DeviceOfTarget(Object* target);

// Ends a client request: checks, copies the information back, frees it.
void CompleteClientRequest(RequestObject* request, NTSTATUS status, ULONG_PTR information,
                           const char* caller);
// The I/O manager's cancel (CancelIoEx).
void CancelClientRequest(RequestObject* request);
// The USB stack completes a driver-created request it was sent.
void CompleteSentRequest(RequestObject* request, NTSTATUS status, USBD_STATUS usbdStatus,
                         ULONG bytes);

// The USB stack's side of a pipe.
void SubmitToPipe(RequestObject* request, UsbPipeObject* pipe);
bool CancelPipeTransfer(RequestObject* request);

} // namespace sim
