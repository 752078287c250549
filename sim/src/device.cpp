// Driver, device initialisation, device, registry and queue objects.
#include <cstring>

#include "objects.h"

namespace sim {

namespace {
std::atomic<DriverObject*> g_driver{nullptr};
}

DriverObject* TheDriver() { return g_driver.load(); }
void SetTheDriver(DriverObject* driver) { g_driver.store(driver); }

void QueueObject::OnDispose()
{
    // The framework purges a queue that goes away: what still waits in it is
    // cancelled.
    std::deque<RequestObject*> left;
    {
        std::lock_guard<std::mutex> guard(lock);
        left.swap(waiting);
    }
    for (RequestObject* request : left) {
        request->inQueue = nullptr;
        CompleteClientRequest(request, STATUS_CANCELLED, 0, "queue purge");
    }
}

void DeviceObject::OnDeleteBegin()
{
    // A device that goes away purges its queues before anything else.
    std::vector<Object*> queues;
    {
        std::lock_guard<std::recursive_mutex> guard(TableLock());
        for (Object* child : children) {
            if (child->type == Type::Queue) {
                queues.push_back(child);
            }
        }
    }
    for (Object* queue : queues) {
        static_cast<QueueObject*>(queue)->OnDispose();
    }
}

} // namespace sim

using namespace sim;

// --- driver -----------------------------------------------------------------

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER *Driver)
{
    // Documented contract: PASSIVE_LEVEL, once per driver, from DriverEntry.
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfDriverCreate");
    SIM_FALLIBLE("WdfDriverCreate");
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        Verifier::Fail("WdfDriverCreate: missing driver object, registry path or config");
        return STATUS_INVALID_PARAMETER;
    }
    if (TheDriver() != nullptr) {
        Verifier::Fail("WdfDriverCreate: a framework driver already exists");
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto* driver = new sim::DriverObject();
    driver->config = *DriverConfig;
    driver->wdm = DriverObject;
    driver->createdBy = "WdfDriverCreate";
    Register(driver);
    SetTheDriver(driver);
    NTSTATUS status = ApplyAttributes(driver, DriverAttributes, "WdfDriverCreate");
    if (!NT_SUCCESS(status)) {
        SetTheDriver(nullptr);
        DeleteObject(driver);
        return status;
    }
    DriverObject->SimDriver = driver;
    if (Driver != nullptr) {
        *Driver = reinterpret_cast<WDFDRIVER>(driver->Handle());
    }
    return STATUS_SUCCESS;
}

WDFDRIVER WdfGetDriver(void)
{
    DriverObject* driver = TheDriver();
    return driver == nullptr ? nullptr : reinterpret_cast<WDFDRIVER>(driver->Handle());
}

// --- registry -------------------------------------------------------------------

NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY *Key)
{
    // Documented contract: PASSIVE_LEVEL; opens the service's Parameters key.
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfDriverOpenParametersRegistryKey");
    auto* driver = As<DriverObject>(Driver, Type::Driver, "WdfDriverOpenParametersRegistryKey");
    if (driver == nullptr || Key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    SIM_FALLIBLE("WdfDriverOpenParametersRegistryKey");
    if ((DesiredAccess & ~static_cast<ACCESS_MASK>(KEY_READ)) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    auto* key = new KeyObject(nullptr);
    key->driverCreated = true;
    key->createdBy = "WdfDriverOpenParametersRegistryKey";
    Register(key);
    ApplyAttributes(key, KeyAttributes, "WdfDriverOpenParametersRegistryKey");
    *Key = reinterpret_cast<WDFKEY>(key->Handle());
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    // Documented contract: PASSIVE_LEVEL; the value must be a REG_DWORD.
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfRegistryQueryULong");
    if (As<KeyObject>(Key, Type::Key, "WdfRegistryQueryULong") == nullptr || ValueName == nullptr ||
        Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    SIM_FALLIBLE("WdfRegistryQueryULong");
    DriverObject* driver = TheDriver();
    std::wstring name(ValueName->Buffer, ValueName->Length / sizeof(WCHAR));
    if (driver == nullptr || driver->host == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::optional<RegistryValue> value = driver->host->Parameter(name);
    if (!value) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!std::holds_alternative<ULONG>(*value)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Value = std::get<ULONG>(*value);
    return STATUS_SUCCESS;
}

void WdfRegistryClose(WDFKEY Key)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfRegistryClose");
    auto* key = As<KeyObject>(Key, Type::Key, "WdfRegistryClose");
    if (key != nullptr) {
        SetGoneReason(key, "closed");
        DeleteObject(key);
    }
}

// --- device initialisation --------------------------------------------------------

static WDFDEVICE_INIT_DATA* InitData(PWDFDEVICE_INIT DeviceInit, const char* caller)
{
    if (DeviceInit == nullptr) {
        Verifier::Fail(std::string(caller) + ": NULL device init (already used by WdfDeviceCreate?)");
        return nullptr;
    }
    return reinterpret_cast<WDFDEVICE_INIT_DATA*>(DeviceInit);
}

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceInitSetPnpPowerEventCallbacks");
    WDFDEVICE_INIT_DATA* init = InitData(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks");
    if (init != nullptr && PnpPowerEventCallbacks != nullptr) {
        if (PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
            Verifier::Fail("WdfDeviceInitSetPnpPowerEventCallbacks: structure not initialised");
            return;
        }
        init->pnp = *PnpPowerEventCallbacks;
    }
}

void WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceInitSetRequestAttributes");
    WDFDEVICE_INIT_DATA* init = InitData(DeviceInit, "WdfDeviceInitSetRequestAttributes");
    if (init != nullptr && RequestAttributes != nullptr) {
        if (RequestAttributes->ParentObject != nullptr) {
            Verifier::Fail("WdfDeviceInitSetRequestAttributes: request attributes must not name a parent");
        }
        init->requestAttributes = *RequestAttributes;
        init->requestAttributesSet = true;
    }
}

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceInitSetFileObjectConfig");
    WDFDEVICE_INIT_DATA* init = InitData(DeviceInit, "WdfDeviceInitSetFileObjectConfig");
    if (init == nullptr || FileObjectConfig == nullptr) {
        return;
    }
    if (FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        Verifier::Fail("WdfDeviceInitSetFileObjectConfig: structure not initialised");
        return;
    }
    init->fileConfig = *FileObjectConfig;
    init->fileConfigSet = true;
    if (FileObjectAttributes != nullptr) {
        init->fileAttributes = *FileObjectAttributes;
        init->fileAttributesSet = true;
    }
}

void WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceInitSetIoType");
    WDFDEVICE_INIT_DATA* init = InitData(DeviceInit, "WdfDeviceInitSetIoType");
    if (init != nullptr) {
        init->ioType = IoType;
    }
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT *DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE *Device)
{
    // Documented contract: PASSIVE_LEVEL; consumes the init structure on success.
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceCreate");
    if (DeviceInit == nullptr || Device == nullptr) {
        Verifier::Fail("WdfDeviceCreate: NULL argument");
        return STATUS_INVALID_PARAMETER;
    }
    WDFDEVICE_INIT_DATA* init = InitData(*DeviceInit, "WdfDeviceCreate");
    if (init == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Device = nullptr;
    SIM_FALLIBLE("WdfDeviceCreate");
    auto* device = new DeviceObject(nullptr);
    device->createdBy = "WdfDeviceCreate";
    device->init = *init;
    device->node = init->node;
    Register(device);
    NTSTATUS status = ApplyAttributes(device, DeviceAttributes, "WdfDeviceCreate");
    if (!NT_SUCCESS(status)) {
        DeleteObject(device);
        return status;
    }
    device->defaultParent = false; // a device's parent is always the driver
    *DeviceInit = nullptr;
    *Device = reinterpret_cast<WDFDEVICE>(device->Handle());
    if (init->node != nullptr) {
        init->node->device = *Device;
    }
    return STATUS_SUCCESS;
}

void WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceSetPnpCapabilities");
    auto* device = As<DeviceObject>(Device, Type::Device, "WdfDeviceSetPnpCapabilities");
    if (device == nullptr || PnpCapabilities == nullptr) {
        return;
    }
    if (PnpCapabilities->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES)) {
        Verifier::Fail("WdfDeviceSetPnpCapabilities: structure not initialised");
        return;
    }
    device->pnpCaps = *PnpCapabilities;
    device->pnpCapsSet = true;
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID *InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceCreateDeviceInterface");
    auto* device = As<DeviceObject>(Device, Type::Device, "WdfDeviceCreateDeviceInterface");
    if (device == nullptr || InterfaceClassGUID == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    SIM_FALLIBLE("WdfDeviceCreateDeviceInterface");
    std::wstring reference;
    if (ReferenceString != nullptr && ReferenceString->Buffer != nullptr) {
        reference.assign(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
    }
    device->interfaces.emplace_back(*InterfaceClassGUID, reference);
    return STATUS_SUCCESS;
}

// --- queues ---------------------------------------------------------------------------

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE *Queue)
{
    // Documented contract: <= DISPATCH_LEVEL; a queue that is not manual needs a
    // request handler; a device has one default queue.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueCreate");
    auto* device = As<DeviceObject>(Device, Type::Device, "WdfIoQueueCreate");
    if (device == nullptr || Config == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Queue != nullptr) {
        *Queue = nullptr;
    }
    if (Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    bool anyHandler = Config->EvtIoDefault || Config->EvtIoRead || Config->EvtIoWrite ||
                      Config->EvtIoDeviceControl || Config->EvtIoInternalDeviceControl;
    if (Config->DispatchType != WdfIoQueueDispatchManual && !anyHandler) {
        return static_cast<NTSTATUS>(0xC0200209L); // STATUS_WDF_NO_CALLBACK
    }
    if (Config->DefaultQueue && device->defaultQueue != nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    SIM_FALLIBLE("WdfIoQueueCreate");
    auto* queue = new QueueObject(nullptr, device);
    queue->createdBy = "WdfIoQueueCreate";
    queue->config = *Config;
    Register(queue);
    LinkToParent(queue, device);
    if (QueueAttributes != nullptr) {
        if (QueueAttributes->ContextTypeInfo != nullptr) {
            AddContext(queue, QueueAttributes->ContextTypeInfo, QueueAttributes->ContextSizeOverride);
        }
        queue->cleanup = QueueAttributes->EvtCleanupCallback;
        queue->destroy = QueueAttributes->EvtDestroyCallback;
    }
    if (Config->DefaultQueue) {
        device->defaultQueue = queue;
    }
    if (Queue != nullptr) {
        *Queue = reinterpret_cast<WDFQUEUE>(queue->Handle());
    }
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueGetDevice");
    auto* queue = As<QueueObject>(Queue, Type::Queue, "WdfIoQueueGetDevice");
    return queue == nullptr ? nullptr : reinterpret_cast<WDFDEVICE>(queue->device->Handle());
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST *OutRequest)
{
    // Documented contract: <= DISPATCH_LEVEL, manual queues; STATUS_NO_MORE_ENTRIES
    // once the queue is empty. The request then belongs to the driver.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueRetrieveNextRequest");
    auto* queue = As<QueueObject>(Queue, Type::Queue, "WdfIoQueueRetrieveNextRequest");
    if (queue == nullptr || OutRequest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *OutRequest = nullptr;
    if (queue->config.DispatchType != WdfIoQueueDispatchManual) {
        Verifier::Fail("WdfIoQueueRetrieveNextRequest: not a manual queue");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    RequestObject* request = nullptr;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        if (queue->waiting.empty()) {
            return STATUS_NO_MORE_ENTRIES;
        }
        request = queue->waiting.front();
        queue->waiting.pop_front();
        std::lock_guard<std::mutex> requestGuard(request->lock);
        request->inQueue = nullptr;
    }
    *OutRequest = reinterpret_cast<WDFREQUEST>(request->Handle());
    return STATUS_SUCCESS;
}

// --- deletion ---------------------------------------------------------------------------

void WdfObjectDelete(WDFOBJECT Object)
{
    // Documented contract: <= DISPATCH_LEVEL; only objects the driver created.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfObjectDelete");
    sim::Object* object = LookupAny(Object, "WdfObjectDelete");
    if (object == nullptr) {
        return;
    }
    switch (object->type) {
    case Type::Driver:
    case Type::Device:
    case Type::FileObject:
    case Type::UsbInterface:
    case Type::UsbPipe:
    case Type::Queue:
        Verifier::Fail(std::string("WdfObjectDelete: the framework owns this ") + TypeName(object->type));
        return;
    case Type::Request: {
        auto* request = static_cast<RequestObject*>(object);
        if (request->fromClient) {
            Verifier::Fail("WdfObjectDelete: a request the framework presented is ended by completing it");
            return;
        }
        std::lock_guard<std::mutex> guard(request->lock);
        if (request->sendState == RequestObject::SendState::Sent) {
            Verifier::Fail("WdfObjectDelete: request deleted while it is sent to a target");
            return;
        }
        break;
    }
    default:
        break;
    }
    DeleteObject(object);
}
