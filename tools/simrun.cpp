// Runs the driver against a simulated RUXA-Imager as far as the driver goes
// today: load, device add, open, then the bulk-in engine streaming blocks to
// a reader, the stop and the drain, removal and unload. The parts of the
// driver still to come (hardware preparation, file callbacks, the control
// dispatch) are played here by the same framework calls they will make.
// Prints what happened and the verifier's findings.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ruxaimg.h"
#include "sim/host.h"
#include "sim/imager.h"
#include "sim/sim.h"

namespace {

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

constexpr ULONG kTransferLength = 64 * 1024;
constexpr ULONG kRequestCount = 8;
constexpr int kBlocksToRead = 2000;

// What prepare-hardware and file create will do: the USB target, the
// single-interface configuration, the bulk pipes and the engine's objects.
NTSTATUS BindFile(WDFDEVICE device, WDFFILEOBJECT file)
{
    PDEVICE_CONTEXT deviceContext = GetDeviceContext(device);
    PFILE_CONTEXT fileContext = GetFileContext(file);
    NTSTATUS status = WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &deviceContext->UsbDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    status = WdfUsbTargetDeviceSelectConfig(deviceContext->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    deviceContext->UsbInterface = params.Types.SingleInterface.ConfiguredUsbInterface;
    deviceContext->NumberConfiguredPipes = params.Types.SingleInterface.NumberConfiguredPipes;
    for (UCHAR index = 0; index < deviceContext->NumberConfiguredPipes; index++) {
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(deviceContext->UsbInterface, index, &info);
        if (info.PipeType == WdfUsbPipeTypeBulk) {
            ((info.EndpointAddress & 0x80) ? fileContext->BulkReadPipe : fileContext->BulkWritePipe) = pipe;
            WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
        }
    }
    deviceContext->OpenCount = 1;
    deviceContext->CurrentFileObject = file;
    return InitFileBufferObjects(device);
}

// What the read dispatch will do with the engine.
void ReadBlock(WDFDEVICE device, WDFREQUEST request)
{
    PDEVICE_CONTEXT deviceContext = GetDeviceContext(device);
    WDFFILEOBJECT file = WdfRequestGetFileObject(request);
    PFILE_CONTEXT fileContext = GetFileContext(file);
    if (WdfCollectionGetCount(fileContext->CompletedRequests) == 0) {
        NTSTATUS status = WdfRequestForwardToIoQueue(request, deviceContext->PendingReadQueue);
        if (!NT_SUCCESS(status)) {
            WdfRequestCompleteWithInformation(request, status, 0);
        }
        return;
    }
    WDFMEMORY memory;
    ULONG_PTR information = 0;
    NTSTATUS status = WdfRequestRetrieveOutputMemory(request, &memory);
    if (NT_SUCCESS(status)) {
        status = DeliverCompletedRequest(file, memory, &information);
    }
    if (NT_SUCCESS(status) && WdfCollectionGetCount(fileContext->PendingRequests) == 0 &&
        InterlockedExchange(&fileContext->WorkItemQueued, 1) == 0) {
        (void)QueueBulkInWorkItem(device, file);
    }
    WdfRequestCompleteWithInformation(request, status, information);
}

// What cleanup and close will do with the engine.
void StopAndDrain(WDFDEVICE device, WDFFILEOBJECT file)
{
    PDEVICE_CONTEXT deviceContext = GetDeviceContext(device);
    PFILE_CONTEXT fileContext = GetFileContext(file);
    WriteBooleanRelease(&fileContext->StreamStopped, TRUE);
    WDFREQUEST parked;
    while (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(deviceContext->PendingReadQueue, &parked))) {
        WdfRequestCompleteWithInformation(parked, STATUS_CANCELLED, 0);
    }
    StopBulkIn(file);
    deviceContext->CurrentFileObject = NULL;
    if (fileContext->BufferState & BUFFER_STATE_BUILT) {
        InterlockedDecrement(&fileContext->OutstandingIoCount);
        while (ReadAcquire(&fileContext->OutstandingIoCount) != 0) {
            LARGE_INTEGER interval;
            interval.QuadPart = -100000;
            KeDelayExecutionThread(KernelMode, TRUE, &interval);
        }
        FreeBulkInBuffers(fileContext);
    }
    InterlockedDecrement(&deviceContext->OpenCount);
}

} // namespace

int main()
{
    sim::Reset();
    int failures = 0;
    {
        sim::Host host(DriverEntry);
        host.SetParameter(L"MaximumTransferSize", ULONG{0});
        NTSTATUS status = host.Load();
        std::printf("driver load: %#010x\n", static_cast<unsigned>(status));
        if (!NT_SUCCESS(status)) {
            return 1;
        }
        auto imager = std::make_shared<sim::ImagerDevice>();
        sim::DeviceNode& node = host.PlugIn(imager);
        std::printf("device add: %#010x, started: %s\n", static_cast<unsigned>(node.addStatus),
                    node.started ? "yes" : "no");
        if (!node.started) {
            return 1;
        }
        std::printf("MaximumTransferSize: %#x\n", GetDeviceContext(node.device)->MaximumTransferSize);
        std::wstring path = host.InterfacePaths(GUID_DEVINTERFACE_RUXAIMG).at(0);
        std::printf("interface: %s\n", Narrow(path).c_str());

        sim::Host::FileHandle handle;
        status = host.Open(path, &handle);
        std::printf("open: %#010x\n", static_cast<unsigned>(status));
        WDFFILEOBJECT file = host.FileObjectOf(handle);
        status = BindFile(node.device, file);
        std::printf("pipes bound, engine objects: %#010x\n", static_cast<unsigned>(status));

        auto read = host.Read(handle, 512);
        std::printf("read request: %#010x (the driver takes control requests only)\n",
                    static_cast<unsigned>(read->Status()));

        host.SetIoctlInterceptor([](WDFDEVICE device, WDFREQUEST request, ULONG code, size_t, size_t) {
            if (code == IOCTL_IMAGER_READ_BLOCK) {
                ReadBlock(device, request);
            } else {
                WdfRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST);
            }
        });

        PFILE_CONTEXT fileContext = GetFileContext(file);
        status = BuildBulkInBuffers(node.device, kTransferLength, kRequestCount);
        std::printf("buffer set of %u x %u bytes: %#010x\n", kRequestCount, kTransferLength,
                    static_cast<unsigned>(status));
        std::uint64_t objectsBefore = sim::Counters::DriverObjectsCreated();
        std::uint64_t workItemsBefore = sim::Counters::ObjectsCreated("WDFWORKITEM");
        if (InterlockedExchange(&fileContext->WorkItemQueued, 1) == 0) {
            status = QueueBulkInWorkItem(node.device, file);
        }
        imager->StartStreaming();

        int inOrder = 0;
        int gaps = 0;
        std::uint64_t expected = 0;
        std::uint64_t bytes = 0;
        for (int i = 0; i < kBlocksToRead; i++) {
            auto block = host.Ioctl(handle, IOCTL_IMAGER_READ_BLOCK, {}, kTransferLength);
            if (!NT_SUCCESS(block->Status())) {
                std::printf("read %d failed: %#010x\n", i, static_cast<unsigned>(block->Status()));
                failures++;
                break;
            }
            std::vector<UCHAR> data = block->Output();
            auto sequence = sim::ImagerDevice::SequenceOf(data.data(), block->Information());
            if (!sim::ImagerDevice::CheckBlock(data.data(), block->Information()) || !sequence) {
                std::printf("block %d is corrupt\n", i);
                failures++;
                break;
            }
            if (*sequence == expected) {
                inOrder++;
            } else if (*sequence > expected) {
                gaps++;
            } else {
                std::printf("block %d is older than the one before\n", i);
                failures++;
                break;
            }
            expected = *sequence + 1;
            bytes += block->Information();
        }
        std::uint64_t objects = sim::Counters::DriverObjectsCreated() - objectsBefore;
        std::uint64_t workItems = sim::Counters::ObjectsCreated("WDFWORKITEM") - workItemsBefore;
        std::printf("read %d blocks (%llu bytes), oldest first: %d followed the one before, %d after "
                    "blocks dropped by the overrun policy\n",
                    kBlocksToRead, static_cast<unsigned long long>(bytes), inOrder, gaps);
        std::printf("device sent %llu blocks; framework objects the driver created while streaming: %llu, all "
                    "of them work items (%llu)\n",
                    static_cast<unsigned long long>(imager->DataBlocksSent()),
                    static_cast<unsigned long long>(objects), static_cast<unsigned long long>(workItems));
        if (objects != workItems) {
            failures++;
        }

        StopAndDrain(node.device, file);
        imager->StopStreaming();
        host.Close(handle);
        std::printf("stream stopped, transfers drained, buffers freed, closed: %s\n",
                    host.Closed(handle) ? "yes" : "no");
        host.Unplug(node);
        host.Unload();
        std::printf("unplugged and unloaded\n");
    }
    for (const std::string& finding : sim::Verifier::Take()) {
        std::printf("verifier: %s\n", finding.c_str());
        failures++;
    }
    std::printf("failures and verifier findings: %d\n", failures);
    return failures == 0 ? 0 : 1;
}
