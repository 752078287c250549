// Driver entry and device add, through the host.
#include <cstring>

#include "driver_fixture.h"

namespace {

class DeviceAddTest : public DriverTest {};

struct TransferSizeCase {
    ULONG registry;
    ULONG stored;
};

class MaximumTransferSizeTest : public DriverTest, public ::testing::WithParamInterface<TransferSizeCase> {};

TEST_P(MaximumTransferSizeTest, StoresTheRegistryValueOrTheDefault)
{
    host->SetParameter(L"MaximumTransferSize", GetParam().registry);
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    sim::DeviceNode& node = PlugImager();
    ASSERT_EQ(node.addStatus, STATUS_SUCCESS);
    ASSERT_TRUE(node.started);

    PDEVICE_CONTEXT context = GetDeviceContext(node.device);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->MaximumTransferSize, GetParam().stored);
    EXPECT_NE(context->PendingReadQueue, nullptr);

    // Everything else is zero until the device starts streaming.
    DEVICE_CONTEXT expected{};
    expected.MaximumTransferSize = context->MaximumTransferSize;
    expected.PendingReadQueue = context->PendingReadQueue;
    EXPECT_EQ(std::memcmp(context, &expected, sizeof expected), 0);

    EXPECT_EQ(host->InterfacePaths(GUID_DEVINTERFACE_RUXAIMG).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Values, MaximumTransferSizeTest,
                         ::testing::Values(TransferSizeCase{0, 0x100000}, TransferSizeCase{4096, 4096},
                                           TransferSizeCase{0xFFFFFFFF, 0xFFFFFFFF}));

TEST_F(DeviceAddTest, TheDeviceIsConfiguredAsTheFrameworkWillHoldIt)
{
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    sim::DeviceNode& node = PlugImager();
    ASSERT_TRUE(node.started);

    std::optional<WDF_DEVICE_PNP_CAPABILITIES> caps = host->PnpCapabilities(node);
    ASSERT_TRUE(caps);
    WDF_DEVICE_PNP_CAPABILITIES expected;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&expected);
    expected.SurpriseRemovalOK = WdfTrue;
    EXPECT_EQ(std::memcmp(&*caps, &expected, sizeof expected), 0);
    EXPECT_EQ(caps->Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps->UINumber, 0xFFFFFFFFu);

    EXPECT_EQ(host->IoType(node), WdfDeviceIoDirect);

    std::optional<WDF_IO_QUEUE_CONFIG> reads = host->QueueConfiguration(GetDeviceContext(node.device)->PendingReadQueue);
    ASSERT_TRUE(reads);
    EXPECT_EQ(reads->DispatchType, WdfIoQueueDispatchManual);
    EXPECT_EQ(reads->PowerManaged, WdfFalse);
    EXPECT_FALSE(reads->DefaultQueue);
    EXPECT_FALSE(reads->AllowZeroLengthRequests);
    EXPECT_EQ(reads->EvtIoDeviceControl, nullptr);
    EXPECT_EQ(reads->Settings.Parallel.NumberOfPresentedRequests, 0u);
}

TEST_F(DeviceAddTest, MissingValueFailsTheDeviceWithTheRegistryStatus)
{
    host->RemoveParameter(L"MaximumTransferSize");
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    sim::DeviceNode& node = PlugImager();
    EXPECT_EQ(node.addStatus, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(node.device, nullptr);
    EXPECT_TRUE(host->InterfacePaths(GUID_DEVINTERFACE_RUXAIMG).empty());
    EXPECT_EQ(sim::Counters::LiveObjects(), 1u); // the driver alone
}

TEST_F(DeviceAddTest, StringValueFailsTheDeviceWithTheRegistryStatus)
{
    host->SetParameter(L"MaximumTransferSize", std::wstring(L"4096"));
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    sim::DeviceNode& node = PlugImager();
    EXPECT_EQ(node.addStatus, STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(node.device, nullptr);
    EXPECT_TRUE(host->InterfacePaths(GUID_DEVINTERFACE_RUXAIMG).empty());
}

TEST_F(DeviceAddTest, TwoImagersGetTwoDevicesWithTheirOwnContextsAndQueues)
{
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    sim::DeviceNode& first = PlugImager({.productId = 0xC001});
    sim::DeviceNode& second = PlugImager({.productId = 0xC002});
    ASSERT_TRUE(first.started);
    ASSERT_TRUE(second.started);
    EXPECT_NE(first.device, second.device);
    PDEVICE_CONTEXT a = GetDeviceContext(first.device);
    PDEVICE_CONTEXT b = GetDeviceContext(second.device);
    EXPECT_NE(a, b);
    EXPECT_NE(a->PendingReadQueue, b->PendingReadQueue);
    EXPECT_EQ(WdfIoQueueGetDevice(a->PendingReadQueue), first.device);
    EXPECT_EQ(WdfIoQueueGetDevice(b->PendingReadQueue), second.device);

    std::vector<std::wstring> paths = host->InterfacePaths(GUID_DEVINTERFACE_RUXAIMG);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_NE(paths[0], paths[1]);

    host->Unplug(first);
    EXPECT_EQ(host->InterfacePaths(GUID_DEVINTERFACE_RUXAIMG).size(), 1u);
}

struct StepFailure {
    const char* function;
    NTSTATUS status;
};

class DeviceAddStepTest : public DriverTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(DeviceAddStepTest, AFailingStepReturnsItsStatusAndLeavesNoDevice)
{
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    sim::Faults::FailCall(GetParam().function, 1, GetParam().status);
    sim::DeviceNode& node = PlugImager();
    EXPECT_EQ(node.addStatus, GetParam().status);
    EXPECT_EQ(node.device, nullptr);
    EXPECT_FALSE(node.started);
    EXPECT_TRUE(host->InterfacePaths(GUID_DEVINTERFACE_RUXAIMG).empty());
    EXPECT_EQ(sim::Counters::LiveObjects(), 1u);

    // The next device is unaffected.
    sim::DeviceNode& next = PlugImager();
    EXPECT_EQ(next.addStatus, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, DeviceAddStepTest,
    ::testing::Values(StepFailure{"WdfDeviceCreate", STATUS_INSUFFICIENT_RESOURCES},
                      StepFailure{"WdfDriverOpenParametersRegistryKey", STATUS_OBJECT_NAME_NOT_FOUND},
                      StepFailure{"WdfRegistryQueryULong", STATUS_INSUFFICIENT_RESOURCES},
                      StepFailure{"WdfIoQueueCreate", STATUS_INSUFFICIENT_RESOURCES},
                      StepFailure{"WdfDeviceCreateDeviceInterface", STATUS_INVALID_DEVICE_REQUEST}),
    [](const ::testing::TestParamInfo<StepFailure>& info) { return std::string(info.param.function); });

TEST_F(DeviceAddTest, DriverEntryReturnsTheFrameworkStatus)
{
    sim::Faults::FailCall("WdfDriverCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(host->Loaded());
    EXPECT_EQ(sim::Counters::LiveObjects(), 0u);
}

TEST_F(DeviceAddTest, ReadAndWriteRequestsNeverReachTheDriver)
{
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    PlugImager();
    std::vector<std::wstring> paths = host->InterfacePaths(GUID_DEVINTERFACE_RUXAIMG);
    ASSERT_EQ(paths.size(), 1u);
    sim::Host::FileHandle handle;
    ASSERT_EQ(host->Open(paths[0], &handle), STATUS_SUCCESS);

    auto read = host->Read(handle, 512);
    auto write = host->Write(handle, std::vector<UCHAR>(64, 0x11));
    ASSERT_TRUE(read->Done());
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(read->Status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(write->Status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(read->Information(), 0u);
    EXPECT_EQ(host->RequestsPresented(), 0u);

    host->Close(handle);
    EXPECT_TRUE(host->Closed(handle));
}

TEST_F(DeviceAddTest, EveryOpenCarriesAZeroedFileContextWhateverItsTrailingName)
{
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    PlugImager();
    std::wstring path = host->InterfacePaths(GUID_DEVINTERFACE_RUXAIMG).at(0);
    for (const std::wstring& suffix : {std::wstring(), std::wstring(L"\\anything\\at all")}) {
        sim::Host::FileHandle handle;
        ASSERT_EQ(host->Open(path + suffix, &handle), STATUS_SUCCESS);
        PFILE_CONTEXT context = GetFileContext(host->FileObjectOf(handle));
        ASSERT_NE(context, nullptr);
        FILE_CONTEXT zero{};
        EXPECT_EQ(std::memcmp(context, &zero, sizeof zero), 0);
        host->Close(handle);
    }
    sim::Host::FileHandle handle;
    EXPECT_EQ(host->Open(path + L"x", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
