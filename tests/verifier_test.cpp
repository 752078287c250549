// The stand-in's own checks: each must catch a deliberately wrong driver,
// since a wrong driver would otherwise pass.
#include <gtest/gtest.h>

#include <functional>

#include <wdf.h>
#include <wdfusb.h>

#include "driver_fixture.h"

namespace {

// {2E5D0A4B-8F31-4C77-A0D2-6B19C4E3F850}
const GUID kTestInterface = {0x2e5d0a4b, 0x8f31, 0x4c77, {0xa0, 0xd2, 0x6b, 0x19, 0xc4, 0xe3, 0xf8, 0x50}};

std::function<void(WDFDEVICE)> g_onDeviceAdd;

NTSTATUS TestDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT deviceInit)
{
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&deviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (g_onDeviceAdd) {
        g_onDeviceAdd(device);
    }
    return WdfDeviceCreateDeviceInterface(device, &kTestInterface, nullptr);
}

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A minimal driver whose control requests the test handles itself.
class VerifierTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::Reset();
        g_onDeviceAdd = nullptr;
        host = std::make_unique<sim::Host>(TestDriverEntry<TestDeviceAdd>);
    }

    void Start()
    {
        ASSERT_EQ(host->Load(), STATUS_SUCCESS);
        node = &host->PlugIn(std::make_shared<sim::ImagerDevice>());
        ASSERT_TRUE(node->started);
        ASSERT_EQ(host->Open(host->InterfacePaths(kTestInterface).at(0), &handle), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        host.reset();
        g_onDeviceAdd = nullptr;
        std::vector<std::string> findings = sim::Verifier::Take();
        EXPECT_TRUE(findings.empty()) << JoinFindings(findings);
        sim::Reset();
    }

    std::unique_ptr<sim::Host> host;
    sim::DeviceNode* node = nullptr;
    sim::Host::FileHandle handle = 0;
};

TEST_F(VerifierTest, ARequestCompletedTwiceIsCaught)
{
    Start();
    host->SetIoctlInterceptor([](WDFDEVICE, WDFREQUEST request, ULONG, size_t, size_t) {
        WdfRequestComplete(request, STATUS_SUCCESS);
        WdfRequestComplete(request, STATUS_SUCCESS);
    });
    host->Ioctl(handle, kBufferedCode, {}, 0);
    EXPECT_TRUE(TakeFinding("used after deletion (WDFREQUEST completed"));
}

TEST_F(VerifierTest, ARequestNeverCompletedIsCaught)
{
    Start();
    host->SetIoctlInterceptor([](WDFDEVICE, WDFREQUEST, ULONG, size_t, size_t) {});
    auto io = host->BeginIoctl(handle, kBufferedCode, {}, 0);
    EXPECT_FALSE(io->Done());
    host->Close(handle);
    host.reset();
    EXPECT_TRUE(TakeFinding("never completed"));
    EXPECT_EQ(io->Status(), STATUS_PENDING);
}

TEST_F(VerifierTest, ARequestCompletedWhileCancelableIsCaught)
{
    Start();
    host->SetIoctlInterceptor([](WDFDEVICE, WDFREQUEST request, ULONG, size_t, size_t) {
        WdfRequestMarkCancelable(request, [](WDFREQUEST r) { WdfRequestComplete(r, STATUS_CANCELLED); });
        WdfRequestComplete(request, STATUS_SUCCESS);
    });
    host->Ioctl(handle, kBufferedCode, {}, 0);
    EXPECT_TRUE(TakeFinding("completed while still cancelable"));
}

TEST_F(VerifierTest, InformationBeyondTheOutputOfABufferedRequestIsCaught)
{
    Start();
    host->SetIoctlInterceptor([](WDFDEVICE, WDFREQUEST request, ULONG, size_t, size_t) {
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 8);
    });
    auto io = host->Ioctl(handle, kBufferedCode, std::vector<UCHAR>(8, 1), 4);
    EXPECT_TRUE(TakeFinding("exceeds the output length"));
    EXPECT_EQ(io->Output().size(), 4u);
}

TEST_F(VerifierTest, ALeakedObjectIsCaughtAtUnload)
{
    g_onDeviceAdd = [](WDFDEVICE) {
        WDFMEMORY memory;
        PVOID buffer;
        WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 64, &memory, &buffer);
    };
    Start();
    host->Close(handle);
    host->Unload();
    EXPECT_TRUE(TakeFinding("leak at unload: WDFMEMORY"));
}

TEST_F(VerifierTest, AHandleUsedAfterDeletionIsCaught)
{
    Start();
    WDFMEMORY memory;
    PVOID buffer;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 16, &memory, &buffer), STATUS_SUCCESS);
    WdfObjectDelete(memory);
    size_t size = 99;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), nullptr);
    EXPECT_TRUE(TakeFinding("used after deletion"));
}

TEST_F(VerifierTest, AHandleOfTheWrongTypeIsCaught)
{
    Start();
    WDFMEMORY memory;
    PVOID buffer;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 16, &memory, &buffer), STATUS_SUCCESS);
    WdfSpinLockAcquire(reinterpret_cast<WDFSPINLOCK>(memory));
    EXPECT_TRUE(TakeFinding("is a WDFMEMORY, not a WDFSPINLOCK"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    WdfObjectDelete(memory);
}

TEST_F(VerifierTest, PageableCodeInACancelRoutineIsCaught)
{
    Start();
    host->SetIoctlInterceptor([](WDFDEVICE, WDFREQUEST request, ULONG, size_t, size_t) {
        WdfRequestMarkCancelable(request, [](WDFREQUEST r) {
            PAGED_CODE();
            WdfRequestComplete(r, STATUS_CANCELLED);
        });
    });
    auto io = host->BeginIoctl(handle, kBufferedCode, {}, 0);
    io->Cancel();
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Status(), STATUS_CANCELLED);
    EXPECT_TRUE(TakeFinding("pageable code"));
}

TEST_F(VerifierTest, APassiveOnlyCallUnderASpinLockIsCaught)
{
    Start();
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockAcquire(lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    WDFKEY key;
    WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key);
    WdfSpinLockRelease(lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(TakeFinding("WdfDriverOpenParametersRegistryKey called at IRQL 2"));
    WdfRegistryClose(key);
    WdfObjectDelete(lock);
}

TEST_F(VerifierTest, BlockingWithASpinLockHeldIsCaught)
{
    Start();
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockAcquire(lock);
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    WdfSpinLockRelease(lock);
    EXPECT_TRUE(TakeFinding("blocks with a spin lock held"));
    WdfObjectDelete(lock);
}

TEST_F(VerifierTest, SendingWithASpinLockHeldIsCaught)
{
    Start();
    WDFREQUEST request;
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &request), STATUS_SUCCESS);
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockAcquire(lock);
    WdfRequestCancelSentRequest(request);
    WdfSpinLockRelease(lock);
    EXPECT_TRUE(TakeFinding("WdfRequestCancelSentRequest called with a spin lock held"));
    WdfObjectDelete(lock);
    WdfObjectDelete(request);
}

TEST_F(VerifierTest, RecursiveAcquisitionAndAForeignReleaseAreCaught)
{
    Start();
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockRelease(lock);
    EXPECT_TRUE(TakeFinding("not held by this thread"));
    WdfSpinLockAcquire(lock);
    WdfSpinLockAcquire(lock);
    EXPECT_TRUE(TakeFinding("recursively"));
    WdfSpinLockRelease(lock);
    WdfObjectDelete(lock);
}

TEST_F(VerifierTest, AReferenceUnderflowIsCaught)
{
    Start();
    WDFMEMORY memory;
    PVOID buffer;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 16, &memory, &buffer), STATUS_SUCCESS);
    WdfObjectReference(memory);
    WdfObjectDereference(memory);
    EXPECT_TRUE(sim::Verifier::Clean());
    WdfObjectDereference(memory);
    EXPECT_TRUE(TakeFinding("reference underflow"));
    WdfObjectDelete(memory);
}

TEST_F(VerifierTest, BufferedRequestsShowPoisonAndCopyBackOnlyTheInformation)
{
    Start();
    host->SetIoctlInterceptor([](WDFDEVICE, WDFREQUEST request, ULONG, size_t, size_t) {
        PVOID buffer;
        size_t length;
        ASSERT_EQ(WdfRequestRetrieveOutputBuffer(request, 8, &buffer, &length), STATUS_SUCCESS);
        ASSERT_EQ(length, 8u);
        auto* bytes = static_cast<UCHAR*>(buffer);
        EXPECT_EQ(bytes[0], 0x42); // the input shares the system buffer
        EXPECT_EQ(bytes[2], 0xCD); // past the input: poison, not the caller's bytes
        bytes[0] = 0x77;
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 1);
    });
    auto io = host->Ioctl(handle, kBufferedCode, {0x42, 0x43}, 8, 0x11);
    EXPECT_EQ(io->Status(), STATUS_SUCCESS);
    std::vector<UCHAR> output = io->Output();
    EXPECT_EQ(output[0], 0x77);
    EXPECT_EQ(output[1], 0x11); // beyond the information: untouched
}

TEST_F(VerifierTest, FaultsHitByNameAndOccurrenceOrByGlobalCallNumber)
{
    Start();
    WDFMEMORY memory[3];
    PVOID buffer;
    sim::Faults::FailCall("WdfMemoryCreate", 2, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 8, &memory[0], &buffer), STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 8, &memory[1], &buffer),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(memory[1], nullptr);
    std::uint64_t next = sim::Faults::CallCount() + 1;
    sim::Faults::FailGlobalCall(next, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 8, &memory[2], &buffer), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::Faults::CallCount("WdfMemoryCreate"), 3u);
    WdfObjectDelete(memory[0]);
}

TEST_F(VerifierTest, HeldWorkItemsRunWhenTheTestSays)
{
    static int runs;
    runs = 0;
    g_onDeviceAdd = [](WDFDEVICE device) {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, [](WDFWORKITEM item) {
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            runs++;
            WdfObjectDelete(item);
        });
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        WDFWORKITEM item;
        ASSERT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
        WdfWorkItemEnqueue(item);
    };
    sim::WorkItems::Hold();
    Start();
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(sim::WorkItems::Queued(), 1u);
    EXPECT_EQ(sim::WorkItems::RunAll(), 1u);
    EXPECT_EQ(runs, 1);
}

TEST_F(VerifierTest, DelaysRunOnTheKernelClockAndCallTheHook)
{
    Start();
    LONGLONG seen = 0;
    sim::Clock::SetDelayHook([&seen](LONGLONG interval) { seen += interval; });
    sim::Clock::SetScale(0);
    LARGE_INTEGER interval;
    interval.QuadPart = -50000000; // 5 s
    LONGLONG before = sim::Clock::Now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, TRUE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(sim::Clock::Now() - before, 50000000);
    EXPECT_EQ(seen, 50000000);
}

} // namespace
