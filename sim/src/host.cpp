// The host: PnP manager and I/O manager for the driver under test.
#include "sim/host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "objects.h"

namespace sim {

void ResetCore();

namespace {
std::atomic<Host*> g_host{nullptr};
}

Host* CurrentHost() { return g_host.load(); }

// --- ClientIo --------------------------------------------------------------------

bool ClientIo::Done() const
{
    std::lock_guard<std::mutex> guard(lock);
    return completed;
}

bool ClientIo::Wait(double seconds) const
{
    std::unique_lock<std::mutex> guard(lock);
    return done.wait_for(guard, std::chrono::duration<double>(seconds), [this] { return completed; });
}

NTSTATUS ClientIo::Status() const
{
    std::lock_guard<std::mutex> guard(lock);
    return status;
}

ULONG_PTR ClientIo::Information() const
{
    std::lock_guard<std::mutex> guard(lock);
    return information;
}

std::vector<UCHAR> ClientIo::Output() const
{
    std::lock_guard<std::mutex> guard(lock);
    return output;
}

void ClientIo::Cancel()
{
    RequestObject* target;
    {
        std::lock_guard<std::mutex> guard(lock);
        target = request;
        if (target == nullptr) {
            return;
        }
        AddReference(target);
    }
    CancelClientRequest(target);
    ReleaseReference(target, "CancelIoEx");
}

// --- forced teardown of what a faulty driver left behind ----------------------------

namespace {

void ForceFree(const std::vector<Object*>& objects)
{
    std::lock_guard<std::recursive_mutex> guard(TableLock());
    for (Object* object : objects) {
        SetGoneReason(object, "freed by the host after a leak");
    }
    for (Object* object : objects) {
        Object* parent = object->parent;
        if (parent != nullptr) {
            auto& siblings = parent->children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), object), siblings.end());
        }
    }
    for (Object* object : objects) {
        Unregister(object);
        delete object;
    }
}

} // namespace

void ReportAndFreeLeftovers(const char* when)
{
    std::vector<Object*> live = LiveObjectsSnapshot();
    for (Object* object : live) {
        Verifier::Fail(std::string(TypeName(object->type)) + " (made by " + object->createdBy +
                       ") still exists " + when + (object->disposed ? " (deleted, but still referenced)" : ""));
    }
    ForceFree(live);
}

void Reset()
{
    ResetWorkItems();
    ReportAndFreeLeftovers("at reset");
    SetTheDriver(nullptr);
    ResetCore();
}

// --- Host ------------------------------------------------------------------------------

Host::Host(PDRIVER_INITIALIZE entry) : entry_(entry)
{
    Host* expected = nullptr;
    if (!g_host.compare_exchange_strong(expected, this)) {
        Verifier::Fail("only one host at a time");
    }
}

Host::~Host()
{
    std::vector<FileHandle> open;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& entry : files_) {
            open.push_back(entry.first);
        }
    }
    for (FileHandle handle : open) {
        Close(handle);
    }
    ReportUnclosed(open);
    if (loaded_) {
        Unload();
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        closeWork_.notify_all();
    }
    if (closer_.joinable()) {
        closer_.join();
    }
    ResetWorkItems();
    ReportAndFreeLeftovers("when the host went away");
    g_host.store(nullptr);
}

void Host::ReportUnclosed(const std::vector<FileHandle>& handles)
{
    // A file closes once its last request has ended; the background closer
    // gets a moment, then a file still open means a request never completed.
    for (FileHandle handle : handles) {
        if (!WaitClosed(handle, 0.5)) {
            Verifier::Fail("a request of a closed file was never completed, so the file never closed");
        }
    }
}

void Host::SetParameter(const std::wstring& name, RegistryValue value)
{
    std::lock_guard<std::mutex> guard(lock_);
    parameters_[name] = std::move(value);
}

void Host::RemoveParameter(const std::wstring& name)
{
    std::lock_guard<std::mutex> guard(lock_);
    parameters_.erase(name);
}

std::optional<RegistryValue> Host::Parameter(const std::wstring& name) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = parameters_.find(name);
    if (it == parameters_.end()) {
        return std::nullopt;
    }
    return it->second;
}

NTSTATUS Host::Load()
{
    static DRIVER_OBJECT wdm;
    static wchar_t path[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ruxaimg";
    std::memset(&wdm, 0, sizeof wdm);
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, path);
    NTSTATUS status;
    {
        IrqlScope scope(PASSIVE_LEVEL);
        status = entry_(&wdm, &registryPath);
    }
    DriverObject* driver = TheDriver();
    if (!NT_SUCCESS(status)) {
        if (driver != nullptr) {
            // A failed DriverEntry unloads at once; the framework tears its driver down.
            DeleteObject(driver);
            SetTheDriver(nullptr);
        }
        return status;
    }
    if (driver == nullptr) {
        Verifier::Fail("DriverEntry succeeded without creating a framework driver");
        return STATUS_UNSUCCESSFUL;
    }
    driver->host = this;
    loaded_ = true;
    return status;
}

void Host::Unload()
{
    for (auto& node : nodes_) {
        if (node->device != nullptr) {
            Unplug(*node);
        }
    }
    DriverObject* driver = TheDriver();
    if (driver == nullptr) {
        loaded_ = false;
        return;
    }
    WorkItems::WaitIdle();
    std::vector<Object*> leaked;
    for (Object* object : LiveObjectsSnapshot()) {
        if (object->driverCreated && object->defaultParent && !object->disposed) {
            leaked.push_back(object);
        }
    }
    for (Object* object : leaked) {
        Verifier::Fail(std::string("leak at unload: ") + TypeName(object->type) + " made by " + object->createdBy +
                       " with the driver as parent was never deleted");
    }
    if (driver->config.EvtDriverUnload != nullptr) {
        IrqlScope scope(PASSIVE_LEVEL);
        driver->config.EvtDriverUnload(reinterpret_cast<WDFDRIVER>(driver->Handle()));
    }
    DeleteObject(driver);
    SetTheDriver(nullptr);
    loaded_ = false;
    ReportAndFreeLeftovers("after unload");
}

DeviceNode& Host::PlugIn(std::shared_ptr<ImagerDevice> hardware)
{
    auto node = std::make_unique<DeviceNode>();
    node->hardware = std::move(hardware);
    node->index = static_cast<int>(nodes_.size());
    DeviceNode& added = *node;
    nodes_.push_back(std::move(node));
    DriverObject* driver = TheDriver();
    if (!loaded_ || driver == nullptr) {
        added.addStatus = STATUS_NO_SUCH_DEVICE;
        return added;
    }
    auto* init = new WDFDEVICE_INIT_DATA();
    init->node = &added;
    PWDFDEVICE_INIT handle = reinterpret_cast<PWDFDEVICE_INIT>(init);
    {
        IrqlScope scope(PASSIVE_LEVEL);
        added.addStatus = driver->config.EvtDriverDeviceAdd(reinterpret_cast<WDFDRIVER>(driver->Handle()), handle);
    }
    delete init;
    auto* device = added.device == nullptr ? nullptr
                                           : As<DeviceObject>(added.device, Type::Device, "device add");
    if (!NT_SUCCESS(added.addStatus)) {
        if (device != nullptr) {
            // The framework discards a device whose add failed.
            DeleteObject(device);
        }
        added.device = nullptr;
        return added;
    }
    if (device == nullptr) {
        Verifier::Fail("device add succeeded without creating a device");
        added.addStatus = STATUS_UNSUCCESSFUL;
        return added;
    }
    WDFDEVICE wdfDevice = reinterpret_cast<WDFDEVICE>(device->Handle());
    NTSTATUS status = STATUS_SUCCESS;
    {
        IrqlScope scope(PASSIVE_LEVEL);
        if (device->init.pnp.EvtDevicePrepareHardware != nullptr) {
            status = device->init.pnp.EvtDevicePrepareHardware(wdfDevice, nullptr, nullptr);
        }
        if (NT_SUCCESS(status) && device->init.pnp.EvtDeviceD0Entry != nullptr) {
            status = device->init.pnp.EvtDeviceD0Entry(wdfDevice, WdfPowerDeviceD3Final);
        }
    }
    added.startStatus = status;
    if (!NT_SUCCESS(status)) {
        if (device->init.pnp.EvtDeviceReleaseHardware != nullptr) {
            IrqlScope scope(PASSIVE_LEVEL);
            device->init.pnp.EvtDeviceReleaseHardware(wdfDevice, nullptr);
        }
        DeleteObject(device);
        added.device = nullptr;
        return added;
    }
    added.started = true;
    return added;
}

void Host::Unplug(DeviceNode& node)
{
    if (node.device == nullptr) {
        return;
    }
    std::vector<FileHandle> open;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& entry : files_) {
            if (entry.second->device->node == &node) {
                open.push_back(entry.first);
            }
        }
    }
    if (!open.empty()) {
        Verifier::Fail("device unplugged with open handles (surprise removal is not simulated yet)");
        for (FileHandle handle : open) {
            Close(handle);
        }
        ReportUnclosed(open);
    }
    auto* device = As<DeviceObject>(node.device, Type::Device, "removal");
    if (device == nullptr) {
        node.device = nullptr;
        return;
    }
    WDFDEVICE wdfDevice = node.device;
    if (node.started) {
        IrqlScope scope(PASSIVE_LEVEL);
        if (device->init.pnp.EvtDeviceD0Exit != nullptr) {
            device->init.pnp.EvtDeviceD0Exit(wdfDevice, WdfPowerDeviceD3Final);
        }
        if (device->init.pnp.EvtDeviceReleaseHardware != nullptr) {
            device->init.pnp.EvtDeviceReleaseHardware(wdfDevice, nullptr);
        }
    }
    node.hardware->StopStreaming();
    node.hardware->Disconnect();
    WorkItems::WaitIdle();
    DeleteObject(device);
    node.device = nullptr;
    node.started = false;
}

static std::wstring GuidText(const GUID& guid)
{
    wchar_t text[64];
    std::swprintf(text, 64, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

static std::wstring InterfacePath(const DeviceNode& node, const GUID& guid, const std::wstring& reference)
{
    wchar_t prefix[64];
    std::swprintf(prefix, 64, L"\\\\?\\USB#VID_9E4A&PID_%04X#%d#", node.hardware->Config().productId, node.index);
    std::wstring path = prefix + GuidText(guid);
    if (!reference.empty()) {
        path += L"\\" + reference;
    }
    return path;
}

std::vector<std::wstring> Host::InterfacePaths(const GUID& interfaceClass) const
{
    std::vector<std::wstring> paths;
    for (const auto& node : nodes_) {
        if (!node->started || node->device == nullptr) {
            continue;
        }
        auto* device = As<DeviceObject>(node->device, Type::Device, "interface enumeration");
        if (device == nullptr) {
            continue;
        }
        for (const auto& entry : device->interfaces) {
            if (std::memcmp(&entry.first, &interfaceClass, sizeof(GUID)) == 0) {
                paths.push_back(InterfacePath(*node, entry.first, entry.second));
            }
        }
    }
    return paths;
}

// A request the I/O manager presents, with the context every request of the
// device carries.
static RequestObject* NewPresentedRequest(DeviceObject* device, FileObjectObject* file, WDF_REQUEST_TYPE kind,
                                          ULONG code, const std::shared_ptr<ClientIo>& client)
{
    auto* request = new RequestObject(nullptr);
    request->createdBy = "the I/O manager";
    request->fromClient = true;
    request->kind = kind;
    request->code = code;
    request->device = device;
    request->file = file;
    request->client = client;
    Register(request);
    LinkToParent(request, device);
    if (device->init.requestAttributesSet && device->init.requestAttributes.ContextTypeInfo != nullptr) {
        AddContext(request, device->init.requestAttributes.ContextTypeInfo,
                   device->init.requestAttributes.ContextSizeOverride);
    }
    return request;
}

NTSTATUS Host::Open(const std::wstring& path, FileHandle* handle)
{
    *handle = 0;
    DeviceObject* device = nullptr;
    std::wstring fileName;
    for (const auto& node : nodes_) {
        if (!node->started || node->device == nullptr) {
            continue;
        }
        auto* candidate = As<DeviceObject>(node->device, Type::Device, "open");
        for (const auto& entry : candidate->interfaces) {
            std::wstring base = InterfacePath(*node, entry.first, entry.second);
            if (path.compare(0, base.size(), base) == 0 &&
                (path.size() == base.size() || path[base.size()] == L'\\')) {
                device = candidate;
                fileName = path.substr(base.size());
            }
        }
    }
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto* file = new FileObjectObject(nullptr, device);
    file->createdBy = "the I/O manager (create)";
    file->host = this;
    file->nameText = fileName;
    RtlInitUnicodeString(&file->name, file->nameText.c_str());
    Register(file);
    LinkToParent(file, device);
    if (device->init.fileAttributesSet && device->init.fileAttributes.ContextTypeInfo != nullptr) {
        AddContext(file, device->init.fileAttributes.ContextTypeInfo, device->init.fileAttributes.ContextSizeOverride);
    }
    auto client = std::make_shared<ClientIo>();
    RequestObject* request = NewPresentedRequest(device, file, WdfRequestTypeCreate, 0, client);
    client->request = request;
    PFN_WDF_DEVICE_FILE_CREATE create = device->init.fileConfigSet ? device->init.fileConfig.EvtDeviceFileCreate : nullptr;
    if (create != nullptr) {
        presented_++;
        IrqlScope scope(PASSIVE_LEVEL);
        create(reinterpret_cast<WDFDEVICE>(device->Handle()), reinterpret_cast<WDFREQUEST>(request->Handle()),
               reinterpret_cast<WDFFILEOBJECT>(file->Handle()));
    } else {
        CompleteClientRequest(request, STATUS_SUCCESS, 0, "the framework (create)");
    }
    if (!client->Wait(10.0)) {
        Verifier::Fail("create request never completed");
        return STATUS_IO_TIMEOUT;
    }
    NTSTATUS status = client->Status();
    if (!NT_SUCCESS(status)) {
        // Neither cleanup nor close runs for a file object whose create failed.
        SetGoneReason(file, "deleted after its create failed");
        DeleteObject(file);
        return status;
    }
    device->openFiles++;
    std::lock_guard<std::mutex> guard(lock_);
    *handle = nextHandle_;
    nextHandle_ += 4;
    files_[*handle] = file;
    fileIds_[*handle] = file->id;
    return STATUS_SUCCESS;
}

void Host::Close(FileHandle handle)
{
    FileObjectObject* file;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = files_.find(handle);
        if (it == files_.end()) {
            Verifier::Fail("client closed a handle that is not open");
            return;
        }
        file = it->second;
        files_.erase(it);
    }
    PFN_WDF_FILE_CLEANUP cleanup = file->device->init.fileConfigSet ? file->device->init.fileConfig.EvtFileCleanup : nullptr;
    if (cleanup != nullptr) {
        IrqlScope scope(PASSIVE_LEVEL);
        cleanup(reinterpret_cast<WDFFILEOBJECT>(file->Handle()));
    }
    bool closeNow;
    {
        std::lock_guard<std::mutex> guard(file->lock);
        file->cleanedUp = true;
        closeNow = file->outstanding == 0 && !file->closeQueued;
        if (closeNow) {
            file->closeQueued = true;
        }
    }
    if (closeNow) {
        RunClose(file);
    }
}

void Host::OnRequestEnded(FileObjectObject* file)
{
    bool post;
    {
        std::lock_guard<std::mutex> guard(file->lock);
        file->outstanding--;
        post = file->outstanding == 0 && file->cleanedUp && !file->closeQueued;
        if (post) {
            file->closeQueued = true;
        }
    }
    if (post) {
        // The close arrives on a system thread at PASSIVE_LEVEL once the last
        // request of the file has ended.
        std::lock_guard<std::mutex> guard(lock_);
        closeQueue_.push_back(file);
        if (!closer_.joinable()) {
            closer_ = std::thread([this] { CloserThread(); });
        }
        closeWork_.notify_all();
    }
}

void Host::CloserThread()
{
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        closeWork_.wait(guard, [this] { return stopping_ || !closeQueue_.empty(); });
        if (closeQueue_.empty()) {
            return;
        }
        FileObjectObject* file = closeQueue_.front();
        closeQueue_.pop_front();
        guard.unlock();
        RunClose(file);
        guard.lock();
    }
}

void Host::RunClose(FileObjectObject* file)
{
    PFN_WDF_FILE_CLOSE close = file->device->init.fileConfigSet ? file->device->init.fileConfig.EvtFileClose : nullptr;
    if (close != nullptr) {
        IrqlScope scope(PASSIVE_LEVEL);
        close(reinterpret_cast<WDFFILEOBJECT>(file->Handle()));
    }
    DeviceObject* device = file->device;
    std::uint64_t id = file->id;
    SetGoneReason(file, "closed");
    DeleteObject(file);
    device->openFiles--;
    std::lock_guard<std::mutex> guard(lock_);
    closedFiles_.push_back(id);
    closedChanged_.notify_all();
}

bool Host::Closed(FileHandle handle) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = fileIds_.find(handle);
    return it != fileIds_.end() &&
           std::find(closedFiles_.begin(), closedFiles_.end(), it->second) != closedFiles_.end();
}

bool Host::WaitClosed(FileHandle handle, double seconds) const
{
    std::unique_lock<std::mutex> guard(lock_);
    auto it = fileIds_.find(handle);
    if (it == fileIds_.end()) {
        return false;
    }
    std::uint64_t id = it->second;
    return closedChanged_.wait_for(guard, std::chrono::duration<double>(seconds), [this, id] {
        return std::find(closedFiles_.begin(), closedFiles_.end(), id) != closedFiles_.end();
    });
}

WDFFILEOBJECT Host::FileObjectOf(FileHandle handle) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = files_.find(handle);
    return it == files_.end() ? nullptr : reinterpret_cast<WDFFILEOBJECT>(it->second->Handle());
}

void Host::SetIoctlInterceptor(Interceptor interceptor)
{
    interceptor_ = std::move(interceptor);
}

std::optional<WDF_DEVICE_PNP_CAPABILITIES> Host::PnpCapabilities(const DeviceNode& node) const
{
    auto* device = node.device == nullptr ? nullptr : As<DeviceObject>(node.device, Type::Device, "PnpCapabilities");
    if (device == nullptr || !device->pnpCapsSet) {
        return std::nullopt;
    }
    return device->pnpCaps;
}

std::optional<WDF_IO_QUEUE_CONFIG> Host::QueueConfiguration(WDFQUEUE handle) const
{
    auto* queue = As<QueueObject>(handle, Type::Queue, "QueueConfiguration");
    if (queue == nullptr) {
        return std::nullopt;
    }
    return queue->config;
}

std::optional<WDF_DEVICE_IO_TYPE> Host::IoType(const DeviceNode& node) const
{
    auto* device = node.device == nullptr ? nullptr : As<DeviceObject>(node.device, Type::Device, "IoType");
    if (device == nullptr) {
        return std::nullopt;
    }
    return device->init.ioType;
}

std::uint64_t Host::RequestsPresented() const
{
    return presented_.load();
}

std::shared_ptr<ClientIo> Host::Send(FileObjectObject* file, DeviceObject* device, WDF_REQUEST_TYPE kind, ULONG code,
                                     std::vector<UCHAR> input, size_t outputLength, UCHAR outputFill)
{
    auto client = std::make_shared<ClientIo>();
    client->output.assign(outputLength, outputFill);
    RequestObject* request = NewPresentedRequest(device, file, kind, code, client);
    request->inputLength = input.size();
    request->outputLength = outputLength;
    if (kind == WdfRequestTypeDeviceControl && METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED) {
        // One system buffer of the larger length; what the driver does not
        // write holds a poison pattern.
        request->systemBuffer.assign(std::max(input.size(), outputLength), 0xCD);
        std::copy(input.begin(), input.end(), request->systemBuffer.begin());
    } else if (kind == WdfRequestTypeDeviceControl) {
        request->systemBuffer = std::move(input);
        request->directOutput = client->output.data();
    } else if (kind == WdfRequestTypeWrite) {
        request->systemBuffer = std::move(input);
    } else {
        request->directOutput = client->output.data();
    }
    // The caller counted the request against its file while it looked the
    // handle up, so a close on another thread cannot finish under it.
    request->countsForFile = file != nullptr;
    client->request = request;
    WDFREQUEST handle = reinterpret_cast<WDFREQUEST>(request->Handle());
    WDFDEVICE wdfDevice = reinterpret_cast<WDFDEVICE>(device->Handle());
    QueueObject* queue = device->defaultQueue;
    IrqlScope scope(PASSIVE_LEVEL);
    if (kind == WdfRequestTypeDeviceControl && interceptor_) {
        presented_++;
        interceptor_(wdfDevice, handle, code, outputLength, request->inputLength);
    } else if (kind == WdfRequestTypeDeviceControl && queue != nullptr && queue->config.EvtIoDeviceControl != nullptr) {
        presented_++;
        queue->config.EvtIoDeviceControl(reinterpret_cast<WDFQUEUE>(queue->Handle()), handle, outputLength,
                                         request->inputLength, code);
    } else if (kind == WdfRequestTypeRead && queue != nullptr && queue->config.EvtIoRead != nullptr) {
        presented_++;
        queue->config.EvtIoRead(reinterpret_cast<WDFQUEUE>(queue->Handle()), handle, outputLength);
    } else if (kind == WdfRequestTypeWrite && queue != nullptr && queue->config.EvtIoWrite != nullptr) {
        presented_++;
        queue->config.EvtIoWrite(reinterpret_cast<WDFQUEUE>(queue->Handle()), handle, request->inputLength);
    } else {
        // No queue takes this kind of request: a function driver's framework
        // fails it without calling the driver.
        CompleteClientRequest(request, STATUS_INVALID_DEVICE_REQUEST, 0, "the framework (no queue)");
    }
    return client;
}

static FileObjectObject* OpenFileOf(const std::map<Host::FileHandle, FileObjectObject*>& files, Host::FileHandle handle)
{
    auto it = files.find(handle);
    return it == files.end() ? nullptr : it->second;
}

FileObjectObject* Host::TakeFileForRequest(FileHandle handle)
{
    std::lock_guard<std::mutex> guard(lock_);
    FileObjectObject* file = OpenFileOf(files_, handle);
    if (file != nullptr) {
        std::lock_guard<std::mutex> fileGuard(file->lock);
        file->outstanding++;
    }
    return file;
}

static std::shared_ptr<ClientIo> InvalidHandle()
{
    auto client = std::make_shared<ClientIo>();
    client->completed = true;
    client->status = STATUS_INVALID_HANDLE;
    return client;
}

std::shared_ptr<ClientIo> Host::BeginIoctl(FileHandle handle, ULONG code, std::vector<UCHAR> input,
                                           size_t outputLength, UCHAR outputFill)
{
    FileObjectObject* file = TakeFileForRequest(handle);
    if (file == nullptr) {
        return InvalidHandle();
    }
    return Send(file, file->device, WdfRequestTypeDeviceControl, code, std::move(input), outputLength, outputFill);
}

std::shared_ptr<ClientIo> Host::Ioctl(FileHandle handle, ULONG code, std::vector<UCHAR> input, size_t outputLength,
                                      UCHAR outputFill)
{
    auto client = BeginIoctl(handle, code, std::move(input), outputLength, outputFill);
    if (!client->Wait(10.0)) {
        Verifier::Fail("a synchronous control request did not complete");
    }
    return client;
}

std::shared_ptr<ClientIo> Host::BeginIoctlWithoutFile(DeviceNode& node, ULONG code, std::vector<UCHAR> input,
                                                      size_t outputLength)
{
    auto* device = node.device == nullptr ? nullptr : As<DeviceObject>(node.device, Type::Device, "send");
    if (device == nullptr) {
        return InvalidHandle();
    }
    return Send(nullptr, device, WdfRequestTypeDeviceControl, code, std::move(input), outputLength, 0xEE);
}

std::shared_ptr<ClientIo> Host::Read(FileHandle handle, size_t length)
{
    FileObjectObject* file = TakeFileForRequest(handle);
    if (file == nullptr) {
        return InvalidHandle();
    }
    return Send(file, file->device, WdfRequestTypeRead, 0, {}, length, 0xEE);
}

std::shared_ptr<ClientIo> Host::Write(FileHandle handle, std::vector<UCHAR> data)
{
    FileObjectObject* file = TakeFileForRequest(handle);
    if (file == nullptr) {
        return InvalidHandle();
    }
    return Send(file, file->device, WdfRequestTypeWrite, 0, std::move(data), 0, 0xEE);
}

} // namespace sim
