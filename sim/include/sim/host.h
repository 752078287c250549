// The host: plays the PnP manager (loads the driver, plugs devices in and out)
// and the I/O manager (a client opens the device interface, sends requests and
// closes handles with the real ordering of cleanup and close).
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <wdf.h>

#include "sim/imager.h"
#include "sim/sim.h"

namespace sim {

struct DeviceObject;
struct FileObjectObject;
struct RequestObject;
struct SimDispatcherEventImpl;

// One device node: the hardware, and what the driver made of it.
struct DeviceNode {
    std::shared_ptr<ImagerDevice> hardware;
    WDFDEVICE device = nullptr;    // the framework device while it exists
    NTSTATUS addStatus = STATUS_PENDING;
    NTSTATUS startStatus = STATUS_PENDING;
    bool started = false;
    int index = 0;
};

// A request the client sent, as the client sees it.
class ClientIo {
public:
    bool Done() const;
    // Waits for completion (kernel-clock independent; real time).
    bool Wait(double seconds = 10.0) const;
    NTSTATUS Status() const;
    ULONG_PTR Information() const;
    // The caller's output buffer as the I/O manager left it.
    std::vector<UCHAR> Output() const;
    // CancelIoEx on this request.
    void Cancel();

    // --- the I/O manager's side ----------------------------------------
    mutable std::mutex lock;
    mutable std::condition_variable done;
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<UCHAR> output;
    RequestObject* request = nullptr; // while it is outstanding
};

// A kernel event created by the client; a handle to it crosses to the driver.
class ClientEvent {
public:
    ClientEvent();
    ~ClientEvent();
    HANDLE Handle() const;
    bool Signaled() const;
    void Reset();
    std::uint64_t SetCount() const;
    // The KEVENT the kernel sees (what ObReferenceObjectByHandle yields).
    PKEVENT KernelEvent() const;

private:
    SimDispatcherEventImpl* impl_;
};

using RegistryValue = std::variant<ULONG, std::wstring>;

class Host {
public:
    // entry: the driver's DriverEntry.
    explicit Host(PDRIVER_INITIALIZE entry);
    // Closes what the client left open, unplugs, unloads and reports leftovers.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The service's Parameters key.
    void SetParameter(const std::wstring& name, RegistryValue value);
    void RemoveParameter(const std::wstring& name);
    std::optional<RegistryValue> Parameter(const std::wstring& name) const;

    NTSTATUS Load();
    void Unload();
    bool Loaded() const { return loaded_; }

    // Device add, then start. The node stays listed even when add fails.
    DeviceNode& PlugIn(std::shared_ptr<ImagerDevice> hardware);
    // Orderly removal (all handles must be closed first).
    void Unplug(DeviceNode& node);
    const std::vector<std::unique_ptr<DeviceNode>>& Nodes() const { return nodes_; }

    // --- device interfaces ---------------------------------------------------
    std::vector<std::wstring> InterfacePaths(const GUID& interfaceClass) const;

    // --- the client's side ---------------------------------------------------
    using FileHandle = int;
    // CreateFile on an interface path, with anything after it as the file name.
    NTSTATUS Open(const std::wstring& path, FileHandle* handle);
    // CloseHandle: cleanup now; close once every request of the file ended.
    void Close(FileHandle handle);
    // True once the close callback ran for that handle's file object.
    bool Closed(FileHandle handle) const;
    bool WaitClosed(FileHandle handle, double seconds = 10.0) const;
    WDFFILEOBJECT FileObjectOf(FileHandle handle) const;

    // DeviceIoControl. The input is the caller's buffer; outputLength bytes of
    // output are offered, prefilled with outputFill.
    std::shared_ptr<ClientIo> BeginIoctl(FileHandle handle, ULONG code, std::vector<UCHAR> input,
                                         size_t outputLength, UCHAR outputFill = 0xEE);
    std::shared_ptr<ClientIo> Ioctl(FileHandle handle, ULONG code, std::vector<UCHAR> input,
                                    size_t outputLength, UCHAR outputFill = 0xEE);
    // A control request without a file object, as another kernel component sends.
    std::shared_ptr<ClientIo> BeginIoctlWithoutFile(DeviceNode& node, ULONG code,
                                                    std::vector<UCHAR> input, size_t outputLength);
    std::shared_ptr<ClientIo> Read(FileHandle handle, size_t length);
    std::shared_ptr<ClientIo> Write(FileHandle handle, std::vector<UCHAR> data);

    // Until the driver has a dispatch of its own, a test can take the control
    // requests the framework would present to it, as the driver would.
    using Interceptor = std::function<void(WDFDEVICE device, WDFREQUEST request, ULONG code,
                                           size_t outputLength, size_t inputLength)>;
    void SetIoctlInterceptor(Interceptor interceptor);

    // What the driver configured, as the framework holds it.
    std::optional<WDF_DEVICE_PNP_CAPABILITIES> PnpCapabilities(const DeviceNode& node) const;
    std::optional<WDF_IO_QUEUE_CONFIG> QueueConfiguration(WDFQUEUE queue) const;
    std::optional<WDF_DEVICE_IO_TYPE> IoType(const DeviceNode& node) const;

    // Requests the framework presented to any driver callback so far.
    std::uint64_t RequestsPresented() const;

    // --- internal: the I/O manager -----------------------------------------
    void OnRequestEnded(FileObjectObject* file);

private:
    struct OpenFile;
    std::shared_ptr<ClientIo> Send(FileObjectObject* file, DeviceObject* device, WDF_REQUEST_TYPE kind,
                                   ULONG code, std::vector<UCHAR> input, size_t outputLength,
                                   UCHAR outputFill);
    void RunClose(FileObjectObject* file);
    FileObjectObject* TakeFileForRequest(FileHandle handle);
    void ReportUnclosed(const std::vector<FileHandle>& handles);
    void CloserThread();

    PDRIVER_INITIALIZE entry_;
    bool loaded_ = false;
    std::map<std::wstring, RegistryValue> parameters_;
    std::vector<std::unique_ptr<DeviceNode>> nodes_;
    std::map<FileHandle, FileObjectObject*> files_;
    std::map<FileHandle, std::uint64_t> fileIds_;
    FileHandle nextHandle_ = 4;
    mutable std::mutex lock_;
    mutable std::condition_variable closedChanged_;
    std::vector<std::uint64_t> closedFiles_;
    std::deque<FileObjectObject*> closeQueue_;
    std::condition_variable closeWork_;
    std::thread closer_;
    bool stopping_ = false;
    Interceptor interceptor_;
    std::atomic<std::uint64_t> presented_{0};
    friend struct HostAccess;
};

} // namespace sim
