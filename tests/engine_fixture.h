// The bulk-in buffer engine under the real driver, with the parts of the
// driver that are not built yet (USB configuration, file create, cleanup and
// close, the read dispatch) played here at PASSIVE_LEVEL, step for step as
// the driver will do them. Work items are held unless a test lets them run,
// and the imager completes transfers only when told, so every window the
// engine has to survive can be opened on purpose.
#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "driver_fixture.h"

class EngineTest : public DriverTest {
protected:
    // Polls of close's 10 ms wait before a test calls it a hang: a thousand
    // kernel seconds, well under a second of real time at the default scale.
    static constexpr ULONG kCloseWaitLimit = 100000;
    // What goes when the host deletes a closed file object: the object, its
    // lock and its three collections.
    static constexpr std::uint64_t kFileObjects = 5;

    void SetUp() override
    {
        DriverTest::SetUp();
        sim::WorkItems::Hold();
        ASSERT_EQ(host->Load(), STATUS_SUCCESS);
        node = &PlugImager();
        ASSERT_TRUE(node->started);
        device = node->device;
        dc = GetDeviceContext(device);
        hardware = node->hardware;
        ASSERT_NO_FATAL_FAILURE(PrepareHardware());
        host->SetIoctlInterceptor([](WDFDEVICE dev, WDFREQUEST request, ULONG code, size_t, size_t) {
            if (code == IOCTL_IMAGER_READ_BLOCK) {
                ReadBlock(dev, request);
            } else {
                WdfRequestCompleteWithInformation(request, STATUS_INVALID_DEVICE_REQUEST, 0);
            }
        });
        ASSERT_NO_FATAL_FAILURE(OpenFile());
    }

    void TearDown() override
    {
        // A test that stopped half way still gives everything back, so that
        // the only findings left are the ones it caused.
        if (isOpen) {
            fc->NotifyEvent = nullptr;
            if (!ReadBooleanAcquire(&fc->StreamStopped)) {
                CleanupFile();
            }
            sim::WorkItems::RunAll();
            EXPECT_TRUE(CloseFile()) << "close never saw OutstandingIoCount reach 0";
        }
        if (hardware) {
            hardware->StopStreaming();
        }
        sim::Clock::SetDelayHook(nullptr);
        DriverTest::TearDown();
    }

    // What start-of-hardware does for the engine: the USB target and its one
    // interface.
    void PrepareHardware()
    {
        ASSERT_EQ(WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &dc->UsbDevice), STATUS_SUCCESS);
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
        ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(dc->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
        dc->UsbInterface = params.Types.SingleInterface.ConfiguredUsbInterface;
        dc->NumberConfiguredPipes = params.Types.SingleInterface.NumberConfiguredPipes;
    }

    // The client opens the interface; file create binds the pipes, claims
    // the device and makes the engine's lock and collections.
    void OpenFile()
    {
        std::vector<std::wstring> paths = host->InterfacePaths(GUID_DEVINTERFACE_RUXAIMG);
        ASSERT_EQ(paths.size(), 1u);
        ASSERT_EQ(host->Open(paths[0], &handle), STATUS_SUCCESS);
        file = host->FileObjectOf(handle);
        ASSERT_NE(file, nullptr);
        fc = GetFileContext(file);
        fc->BufferState = 0;
        for (UCHAR index = 0; index < dc->NumberConfiguredPipes; index++) {
            WDF_USB_PIPE_INFORMATION info;
            WDF_USB_PIPE_INFORMATION_INIT(&info);
            WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(dc->UsbInterface, index, &info);
            if (info.PipeType != WdfUsbPipeTypeBulk) {
                continue;
            }
            if (info.EndpointAddress & 0x80) {
                fc->BulkReadPipe = pipe;
            } else {
                fc->BulkWritePipe = pipe;
            }
            WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
        }
        ASSERT_NE(fc->BulkReadPipe, nullptr);
        ASSERT_NE(fc->BulkWritePipe, nullptr);
        ASSERT_EQ(InterlockedCompareExchange(&dc->OpenCount, 1, 0), 0);
        dc->CurrentFileObject = file;
        isOpen = true;
        ASSERT_EQ(InitFileBufferObjects(device), STATUS_SUCCESS);
    }

    // What IOCTL_IMAGER_START_STREAM does once its input is checked.
    NTSTATUS Start(ULONG transferLength, ULONG requestCount)
    {
        NTSTATUS status = BuildBulkInBuffers(device, transferLength, requestCount);
        if (NT_SUCCESS(status) && InterlockedExchange(&fc->WorkItemQueued, 1) == 0) {
            status = QueueBulkInWorkItem(device, file);
        }
        return status;
    }

    // File cleanup, without the stop command (the imager's answer to it is
    // the end-of-stream block, which tests script themselves).
    void CleanupFile()
    {
        WriteBooleanRelease(&fc->StreamStopped, TRUE);
        WDFREQUEST parked;
        while (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(dc->PendingReadQueue, &parked))) {
            WdfRequestCompleteWithInformation(parked, STATUS_CANCELLED, 0);
        }
        StopBulkIn(file);
    }

    // File close: releases the bias, waits for the count to drain and frees
    // the set, then lets the host delete the file object. False when the
    // count never reached 0; the buffers are then left alone, since a
    // completion may still be about to use them.
    bool CloseFile()
    {
        bool drained = true;
        dc->CurrentFileObject = nullptr;
        if (fc->BufferState & BUFFER_STATE_BUILT) {
            InterlockedDecrement(&fc->OutstandingIoCount);
            ULONG waits = 0;
            while (ReadAcquire(&fc->OutstandingIoCount) != 0) {
                if (waits++ == kCloseWaitLimit) {
                    drained = false;
                    break;
                }
                LARGE_INTEGER interval;
                interval.QuadPart = -100000;
                KeDelayExecutionThread(KernelMode, TRUE, &interval);
            }
            if (drained) {
                FreeBulkInBuffers(fc);
            }
        }
        InterlockedDecrement(&dc->OpenCount);
        isOpen = false;
        if (drained) {
            host->Close(handle);
        }
        return drained;
    }

    // IOCTL_IMAGER_READ_BLOCK as the control dispatch will run it.
    static void ReadBlock(WDFDEVICE dev, WDFREQUEST request)
    {
        WDFFILEOBJECT requestFile = WdfRequestGetFileObject(request);
        PFILE_CONTEXT context = GetFileContext(requestFile);
        PDEVICE_CONTEXT deviceContext = GetDeviceContext(dev);
        ULONG_PTR information = 0;
        if (ReadBooleanAcquire(&context->StreamStopped)) {
            WdfRequestCompleteWithInformation(request, STATUS_FILE_FORCED_CLOSED, 0);
            return;
        }
        NTSTATUS status;
        if (WdfCollectionGetCount(context->CompletedRequests) == 0) {
            status = WdfRequestForwardToIoQueue(request, deviceContext->PendingReadQueue);
            if (!NT_SUCCESS(status)) {
                WdfRequestCompleteWithInformation(request, status, 0);
            }
            return;
        }
        WDFMEMORY output;
        status = WdfRequestRetrieveOutputMemory(request, &output);
        if (NT_SUCCESS(status)) {
            status = DeliverCompletedRequest(requestFile, output, &information);
        }
        if (NT_SUCCESS(status) && WdfCollectionGetCount(context->PendingRequests) == 0 &&
            InterlockedExchange(&context->WorkItemQueued, 1) == 0) {
            (void)QueueBulkInWorkItem(dev, requestFile);
        }
        WdfRequestCompleteWithInformation(request, status, information);
    }

    std::shared_ptr<sim::ClientIo> Read(size_t outputLength)
    {
        return host->BeginIoctl(handle, IOCTL_IMAGER_READ_BLOCK, {}, outputLength);
    }

    // Sequence number of the block a finished read received.
    static std::optional<std::uint64_t> SequenceOf(const sim::ClientIo& io)
    {
        std::vector<UCHAR> out = io.Output();
        return sim::ImagerDevice::SequenceOf(out.data(), io.Information());
    }

    static bool HoldsBlock(const sim::ClientIo& io, std::uint64_t sequence, ULONG length)
    {
        std::vector<UCHAR> out = io.Output();
        std::vector<UCHAR> expected(length);
        sim::ImagerDevice::FillBlock(sequence, expected.data(), length);
        return io.Information() == length && out.size() >= length &&
               (length == 0 || std::memcmp(out.data(), expected.data(), length) == 0);
    }

    ULONG Idle() const { return WdfCollectionGetCount(fc->IdleRequests); }
    ULONG Pending() const { return WdfCollectionGetCount(fc->PendingRequests); }
    ULONG Completed() const { return WdfCollectionGetCount(fc->CompletedRequests); }
    LONG Outstanding() const { return ReadAcquire(&fc->OutstandingIoCount); }
    LONG WorkItemQueued() const { return InterlockedCompareExchange(&fc->WorkItemQueued, 0, 0); }

    // Makes the n-th call of a function from now on fail.
    static void FailNext(const char* function, std::uint64_t n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES)
    {
        sim::Faults::FailCall(function, sim::Faults::CallCount(function) + n, status);
    }

    // Plays the USB stack for one transfer whose content no imager script can
    // produce: the oldest idle sub-request goes to PendingRequests as a send
    // would move it, then completes successfully with exactly these bytes.
    void CompleteByHand(const std::vector<UCHAR>& bytes)
    {
        WdfSpinLockAcquire(fc->BufferLock);
        auto request = static_cast<WDFREQUEST>(WdfCollectionGetFirstItem(fc->IdleRequests));
        ASSERT_NE(request, nullptr);
        WdfCollectionRemove(fc->IdleRequests, request);
        WdfCollectionAdd(fc->PendingRequests, request);
        WdfSpinLockRelease(fc->BufferLock);
        PSUB_BULKIN_REQUEST_CONTEXT sub = GetSubRequestContext(request);
        ASSERT_LE(bytes.size(), fc->BulkInTransferLength);
        std::memcpy(sub->TransferBuffer, bytes.data(), bytes.size());
        sub->Urb->UrbBulkOrInterruptTransfer.Hdr.Status = USBD_STATUS_SUCCESS;
        sub->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = static_cast<ULONG>(bytes.size());
        InterlockedIncrement(&fc->OutstandingIoCount);
        WDF_REQUEST_COMPLETION_PARAMS params{};
        params.Size = sizeof params;
        params.Type = WdfRequestTypeUsb;
        params.IoStatus.Status = STATUS_SUCCESS;
        params.IoStatus.Information = bytes.size();
        WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(fc->BulkReadPipe);
        PFILE_CONTEXT context = fc;
        sim::RunAtDispatch([&] { EvtBulkInSubRequestComplete(request, target, &params, context); });
    }

    sim::DeviceNode* node = nullptr;
    std::shared_ptr<sim::ImagerDevice> hardware;
    WDFDEVICE device = nullptr;
    PDEVICE_CONTEXT dc = nullptr;
    sim::Host::FileHandle handle = 0;
    WDFFILEOBJECT file = nullptr;
    PFILE_CONTEXT fc = nullptr;
    bool isOpen = false;
};
