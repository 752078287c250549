// The host, the USB target and the simulated imager: the behaviour later
// driver tests lean on, shown on small drivers of the tests' own.
#include <gtest/gtest.h>

#include <cstring>

#include "driver_fixture.h"

namespace {

// {7C1E55A0-2B9D-4F03-8E6A-0D4C2B91A7E5}
const GUID kSimInterface = {0x7c1e55a0, 0x2b9d, 0x4f03, {0x8e, 0x6a, 0x0d, 0x4c, 0x2b, 0x91, 0xa7, 0xe5}};

WDFQUEUE g_parkQueue;

NTSTATUS SimDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT deviceInit)
{
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&deviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &g_parkQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return WdfDeviceCreateDeviceInterface(device, &kSimInterface, nullptr);
}

constexpr ULONG kParkCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::Reset();
        host = std::make_unique<sim::Host>(TestDriverEntry<SimDeviceAdd>);
        ASSERT_EQ(host->Load(), STATUS_SUCCESS);
        // The test's driver parks every control request in its manual queue.
        host->SetIoctlInterceptor([](WDFDEVICE, WDFREQUEST request, ULONG, size_t, size_t) {
            ASSERT_EQ(WdfRequestForwardToIoQueue(request, g_parkQueue), STATUS_SUCCESS);
        });
    }

    void TearDown() override
    {
        host.reset();
        std::vector<std::string> findings = sim::Verifier::Take();
        EXPECT_TRUE(findings.empty()) << JoinFindings(findings);
        sim::Reset();
    }

    sim::DeviceNode& Plug(sim::ImagerConfig config = {})
    {
        return host->PlugIn(std::make_shared<sim::ImagerDevice>(config));
    }

    sim::Host::FileHandle OpenFirst()
    {
        sim::Host::FileHandle handle = 0;
        EXPECT_EQ(host->Open(host->InterfacePaths(kSimInterface).at(0), &handle), STATUS_SUCCESS);
        return handle;
    }

    static void CompleteParked(NTSTATUS status)
    {
        WDFREQUEST request;
        ASSERT_EQ(WdfIoQueueRetrieveNextRequest(g_parkQueue, &request), STATUS_SUCCESS);
        WdfRequestComplete(request, status);
    }

    std::unique_ptr<sim::Host> host;
};

TEST_F(SimTest, CloseWaitsUntilTheLastRequestOfTheFileHasEnded)
{
    Plug();
    sim::Host::FileHandle handle = OpenFirst();
    auto io = host->BeginIoctl(handle, kParkCode, {}, 0);
    host->Close(handle);
    EXPECT_FALSE(host->Closed(handle)); // cleanup ran, close waits for the request
    CompleteParked(STATUS_SUCCESS);
    EXPECT_TRUE(host->WaitClosed(handle));
    EXPECT_EQ(io->Status(), STATUS_SUCCESS);
}

TEST_F(SimTest, CancellingAQueuedRequestCompletesItCancelled)
{
    Plug();
    sim::Host::FileHandle handle = OpenFirst();
    auto io = host->BeginIoctl(handle, kParkCode, {}, 0);
    EXPECT_FALSE(io->Done());
    io->Cancel();
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Status(), STATUS_CANCELLED);
    WDFREQUEST request;
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(g_parkQueue, &request), STATUS_NO_MORE_ENTRIES);
    host->Close(handle);
    EXPECT_TRUE(host->Closed(handle));
}

TEST_F(SimTest, RequestsWithoutAFileObjectReachTheDriver)
{
    sim::DeviceNode& node = Plug();
    auto io = host->BeginIoctlWithoutFile(node, kParkCode, {}, 0);
    WDFREQUEST request;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(g_parkQueue, &request), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetFileObject(request), nullptr);
    WdfRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(io->Status(), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(SimTest, ARemovedDeviceCancelsWhatItsQueuesStillHold)
{
    sim::DeviceNode& node = Plug();
    auto io = host->BeginIoctlWithoutFile(node, kParkCode, {}, 0);
    host->Unplug(node);
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Status(), STATUS_CANCELLED);
}

struct LayoutCase {
    const char* name;
    sim::ImagerLayout layout;
    NTSTATUS select;
    std::vector<UCHAR> endpoints; // of the configured interface
};

class ImagerLayoutTest : public SimTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(ImagerLayoutTest, TheUsbTargetShowsTheImagersConfiguration)
{
    sim::DeviceNode& node = Plug({.productId = 0xC013, .remoteWake = false, .highSpeed = true,
                                  .layout = GetParam().layout});
    WDFUSBDEVICE usb;
    ASSERT_EQ(WdfUsbTargetDeviceCreate(node.device, WDF_NO_OBJECT_ATTRIBUTES, &usb), STATUS_SUCCESS);

    USB_DEVICE_DESCRIPTOR descriptor;
    WdfUsbTargetDeviceGetDeviceDescriptor(usb, &descriptor);
    EXPECT_EQ(descriptor.idVendor, 0x9E4A);
    EXPECT_EQ(descriptor.idProduct, 0xC013);

    USHORT size = 0;
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb, nullptr, &size), STATUS_BUFFER_TOO_SMALL);
    std::vector<UCHAR> config(size);
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb, config.data(), &size), STATUS_SUCCESS);
    USB_CONFIGURATION_DESCRIPTOR header;
    std::memcpy(&header, config.data(), sizeof header);
    EXPECT_EQ(header.wTotalLength, size);
    EXPECT_EQ(header.bmAttributes & USB_CONFIG_REMOTE_WAKEUP, 0);

    WDF_USB_DEVICE_INFORMATION info;
    WDF_USB_DEVICE_INFORMATION_INIT(&info);
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveInformation(usb, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.Traits, static_cast<ULONG>(WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED));

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params), GetParam().select);
    if (!NT_SUCCESS(GetParam().select)) {
        return;
    }
    ASSERT_EQ(params.Types.SingleInterface.NumberConfiguredPipes, GetParam().endpoints.size());
    for (UCHAR index = 0; index < params.Types.SingleInterface.NumberConfiguredPipes; index++) {
        WDF_USB_PIPE_INFORMATION pipeInfo;
        WDF_USB_PIPE_INFORMATION_INIT(&pipeInfo);
        WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(params.Types.SingleInterface.ConfiguredUsbInterface,
                                                           index, &pipeInfo);
        ASSERT_NE(pipe, nullptr);
        EXPECT_EQ(pipeInfo.EndpointAddress, GetParam().endpoints[index]);
        EXPECT_EQ(WdfUsbTargetPipeIsInEndpoint(pipe), (pipeInfo.EndpointAddress & 0x80) != 0);
    }
    EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(params.Types.SingleInterface.ConfiguredUsbInterface,
                                               params.Types.SingleInterface.NumberConfiguredPipes, nullptr),
              nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ImagerLayoutTest,
    ::testing::Values(LayoutCase{"Standard", sim::ImagerLayout::Standard, STATUS_SUCCESS, {0x81, 0x02}},
                      LayoutCase{"TwoInterfaces", sim::ImagerLayout::TwoInterfaces, STATUS_INVALID_PARAMETER, {}},
                      LayoutCase{"NoBulkOut", sim::ImagerLayout::NoBulkOut, STATUS_SUCCESS, {0x81}},
                      LayoutCase{"ExtraPipes", sim::ImagerLayout::ExtraPipes, STATUS_SUCCESS,
                                 {0x83, 0x84, 0x81, 0x02}}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

// A bulk-in request of the test's own on the imager's IN pipe.
class BulkInTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        node = &Plug();
        hardware = node->hardware;
        ASSERT_EQ(WdfUsbTargetDeviceCreate(node->device, WDF_NO_OBJECT_ATTRIBUTES, &usb), STATUS_SUCCESS);
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
        ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
        pipe = WdfUsbInterfaceGetConfiguredPipe(params.Types.SingleInterface.ConfiguredUsbInterface, 0, nullptr);
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
        ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, WdfUsbTargetDeviceGetIoTarget(usb), &request),
                  STATUS_SUCCESS);
        PVOID buffer;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, sizeof(URB), &urbMemory, &buffer),
                  STATUS_SUCCESS);
        urb = static_cast<PURB>(buffer);
        completions = 0;
    }

    void TearDown() override
    {
        WdfObjectDelete(urbMemory);
        WdfObjectDelete(request);
        SimTest::TearDown();
    }

    BOOLEAN Send()
    {
        auto& bulk = urb->UrbBulkOrInterruptTransfer;
        bulk.Hdr.Length = sizeof bulk;
        bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        bulk.PipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(pipe);
        bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        bulk.TransferBufferLength = sizeof data;
        bulk.TransferBuffer = data;
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        EXPECT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
        EXPECT_EQ(WdfUsbTargetPipeFormatRequestForUrb(pipe, request, urbMemory, nullptr), STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(request, Completed, this);
        return WdfRequestSend(request, WdfUsbTargetPipeGetIoTarget(pipe), WDF_NO_SEND_OPTIONS);
    }

    static void Completed(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context)
    {
        auto* self = static_cast<BulkInTest*>(context);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        self->completions++;
        self->lastStatus = params->IoStatus.Status;
    }

    sim::DeviceNode* node = nullptr;
    std::shared_ptr<sim::ImagerDevice> hardware;
    WDFUSBDEVICE usb = nullptr;
    WDFUSBPIPE pipe = nullptr;
    WDFREQUEST request = nullptr;
    WDFMEMORY urbMemory = nullptr;
    PURB urb = nullptr;
    UCHAR data[200];
    int completions = 0;
    NTSTATUS lastStatus = STATUS_PENDING;
};

TEST_F(BulkInTest, TransfersCompleteWhenTheDeviceProducesThem)
{
    hardware->Script({sim::ImagerBlock::Data(150), sim::ImagerBlock::Error(), sim::ImagerBlock::Data(0)});
    struct Expected {
        NTSTATUS status;
        USBD_STATUS usbd;
        ULONG bytes;
    };
    for (Expected expected : {Expected{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 150},
                              Expected{STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, 0},
                              Expected{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0},
                              Expected{STATUS_SUCCESS, USBD_STATUS_SUCCESS, sizeof data}}) {
        int before = completions;
        ASSERT_TRUE(Send());
        EXPECT_EQ(completions, before); // nothing happens until the device says so
        EXPECT_EQ(hardware->PendingTransfers(), 1u);
        EXPECT_EQ(hardware->Produce(), 1u);
        EXPECT_EQ(completions, before + 1);
        EXPECT_EQ(lastStatus, expected.status);
        EXPECT_EQ(urb->UrbHeader.Status, expected.usbd);
        EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, expected.bytes);
        if (expected.bytes >= 8) {
            EXPECT_TRUE(sim::ImagerDevice::CheckBlock(data, expected.bytes));
        }
    }
    EXPECT_EQ(hardware->DataBlocksSent(), 3u);
    EXPECT_EQ(hardware->FailedTransfers(), 1u);
    EXPECT_EQ(*sim::ImagerDevice::SequenceOf(data, sizeof data), 2u);
}

TEST_F(BulkInTest, ARefusedSendNeverRunsTheCompletionRoutine)
{
    sim::Faults::FailCall("WdfRequestSend", 1, STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(Send());
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(completions, 0);
    EXPECT_EQ(hardware->PendingTransfers(), 0u);
}

TEST_F(BulkInTest, ACancelledTransferCompletesCancelledThroughItsRoutine)
{
    ASSERT_TRUE(Send());
    EXPECT_TRUE(WdfRequestCancelSentRequest(request));
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(lastStatus, STATUS_CANCELLED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_FALSE(WdfRequestCancelSentRequest(request)); // no longer sent
    EXPECT_EQ(hardware->PendingTransfers(), 0u);
}

TEST_F(BulkInTest, SendingAgainWithoutReuseIsCaught)
{
    ASSERT_TRUE(Send());
    hardware->Produce();
    WdfRequestSetCompletionRoutine(request, Completed, this);
    EXPECT_FALSE(WdfRequestSend(request, WdfUsbTargetPipeGetIoTarget(pipe), WDF_NO_SEND_OPTIONS));
    EXPECT_TRUE(TakeFinding("must be reused"));
}

TEST_F(BulkInTest, TheStopCommandIsAnsweredWithTheEndOfStreamBlockAfterItsDelay)
{
    hardware->SetStopAnswer(LONGLONG{2000000}); // 200 ms
    std::vector<UCHAR> stop(32, 0x5A);
    hardware->ReceiveBulkOut(stop.data(), stop.size());
    ASSERT_TRUE(Send());
    sim::Clock::Advance(1000000);
    EXPECT_EQ(hardware->Produce(), 1u); // not due yet: an ordinary block
    EXPECT_EQ(hardware->EndOfStreamSent(), 0u);
    ASSERT_TRUE(Send());
    sim::Clock::Advance(1000000);
    EXPECT_EQ(hardware->Produce(), 1u);
    EXPECT_EQ(hardware->EndOfStreamSent(), 1u);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 80u);
    EXPECT_EQ(data[48], 0x5A);
    EXPECT_EQ(data[49], 0x5A);
    // After its end-of-stream block the device is quiet.
    ASSERT_TRUE(Send());
    EXPECT_EQ(hardware->Produce(), 0u);
    EXPECT_TRUE(WdfRequestCancelSentRequest(request));
    EXPECT_EQ(hardware->BulkOutReceived().size(), 1u);
}

TEST_F(BulkInTest, ADeviceToldNeverToAnswerStaysSilent)
{
    hardware->SetStopAnswer(std::nullopt);
    std::vector<UCHAR> stop(32, 0x5A);
    hardware->ReceiveBulkOut(stop.data(), stop.size());
    sim::Clock::Advance(100000000);
    ASSERT_TRUE(Send());
    EXPECT_EQ(hardware->Produce(), 1u);
    EXPECT_EQ(hardware->EndOfStreamSent(), 0u);
}

TEST_F(SimTest, CollectionsAreFirstInFirstOutAndHoldAReference)
{
    Plug();
    WDFCOLLECTION collection;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    WDFMEMORY memory[3];
    for (auto& item : memory) {
        PVOID buffer;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 8, &item, &buffer), STATUS_SUCCESS);
        ASSERT_EQ(WdfCollectionAdd(collection, item), STATUS_SUCCESS);
    }
    EXPECT_EQ(WdfCollectionGetCount(collection), 3u);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), memory[0]);
    EXPECT_EQ(WdfCollectionGetLastItem(collection), memory[2]);
    EXPECT_EQ(WdfCollectionGetItem(collection, 3), nullptr);

    // Deleted while in the collection: the collection's reference keeps it.
    WdfObjectDelete(memory[0]);
    WdfCollectionRemove(collection, memory[0]);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), memory[1]);
    size_t size;
    EXPECT_EQ(WdfMemoryGetBuffer(memory[0], &size), nullptr);
    EXPECT_TRUE(TakeFinding("used after deletion"));

    WdfCollectionRemoveItem(collection, 0);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), memory[2]);
    WdfObjectDelete(collection); // drops its reference on memory[2]
    WdfObjectDelete(memory[1]);
    WdfObjectDelete(memory[2]);
}

} // namespace

namespace {

constexpr ULONG kEchoCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

void EchoDeviceControl(WDFQUEUE, WDFREQUEST request, size_t outputLength, size_t inputLength, ULONG code)
{
    EXPECT_EQ(code, kEchoCode);
    PVOID input;
    PVOID output;
    ASSERT_EQ(WdfRequestRetrieveInputBuffer(request, inputLength, &input, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestRetrieveOutputBuffer(request, outputLength, &output, nullptr), STATUS_SUCCESS);
    size_t length = inputLength < outputLength ? inputLength : outputLength;
    std::memcpy(output, input, length);
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, length);
}

NTSTATUS QueueDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT deviceInit)
{
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&deviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    // A queue that is not manual and has no handler is refused.
    EXPECT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr),
              static_cast<NTSTATUS>(0xC0200209L));
    config.EvtIoDeviceControl = EchoDeviceControl;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // One default queue per device.
    EXPECT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr), STATUS_UNSUCCESSFUL);
    return WdfDeviceCreateDeviceInterface(device, &kSimInterface, nullptr);
}

TEST(DefaultQueueTest, TheParallelDefaultQueuePresentsControlRequestsWithDirectOutput)
{
    sim::Reset();
    {
        sim::Host host(TestDriverEntry<QueueDeviceAdd>);
        ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        ASSERT_TRUE(host.PlugIn(std::make_shared<sim::ImagerDevice>()).started);
        sim::Host::FileHandle handle;
        ASSERT_EQ(host.Open(host.InterfacePaths(kSimInterface).at(0), &handle), STATUS_SUCCESS);
        auto io = host.Ioctl(handle, kEchoCode, {1, 2, 3}, 5, 0xEE);
        EXPECT_EQ(io->Status(), STATUS_SUCCESS);
        EXPECT_EQ(io->Information(), 3u);
        EXPECT_EQ(io->Output(), (std::vector<UCHAR>{1, 2, 3, 0xEE, 0xEE}));
        EXPECT_EQ(host.RequestsPresented(), 1u);
        auto read = host.Read(handle, 16); // no read handler: the framework fails it
        EXPECT_EQ(read->Status(), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(host.RequestsPresented(), 1u);
    }
    std::vector<std::string> findings = sim::Verifier::Take();
    EXPECT_TRUE(findings.empty()) << JoinFindings(findings);
    sim::Reset();
}

} // namespace
