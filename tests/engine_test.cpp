// The bulk-in buffer engine, driven step by step: work items run when the
// test says, and the imager completes transfers only when told.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine_fixture.h"

namespace {

constexpr ULONG kLength = 512;

// ---------------------------------------------------------------------------
// Building the buffer set
// ---------------------------------------------------------------------------

class EngineBuildTest : public EngineTest {};

TEST_F(EngineBuildTest, BuildPutsEverySubRequestInIdleWithItsOwnBuffersAndTakesTheBias)
{
    std::uint64_t liveBefore = sim::Counters::LiveObjects();
    std::uint64_t requestsBefore = sim::Counters::ObjectsCreated("WDFREQUEST");
    std::uint64_t memoriesBefore = sim::Counters::ObjectsCreated("WDFMEMORY");

    ASSERT_EQ(BuildBulkInBuffers(device, kLength, 4), STATUS_SUCCESS);

    EXPECT_EQ(fc->BufferState, BUFFER_STATE_BUILT | BUFFER_STATE_REQUEST_CREATE | BUFFER_STATE_BUFFER_CREATE |
                                   BUFFER_STATE_URB_CREATE);
    EXPECT_EQ(fc->BuildClaimed, 1);
    EXPECT_EQ(fc->BulkInRequestCount, 4u);
    EXPECT_EQ(fc->BulkInTransferLength, kLength);
    EXPECT_EQ(Outstanding(), 1); // the bias alone
    EXPECT_EQ(Idle(), 4u);
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(Completed(), 0u);
    EXPECT_EQ(sim::Counters::ObjectsCreated("WDFREQUEST") - requestsBefore, 4u);
    EXPECT_EQ(sim::Counters::ObjectsCreated("WDFMEMORY") - memoriesBefore, 8u);

    std::vector<void*> buffers;
    for (ULONG i = 0; i < Idle(); i++) {
        auto request = static_cast<WDFREQUEST>(WdfCollectionGetItem(fc->IdleRequests, i));
        PSUB_BULKIN_REQUEST_CONTEXT sub = GetSubRequestContext(request);
        ASSERT_NE(sub, nullptr);
        size_t urbSize = 0;
        EXPECT_EQ(WdfMemoryGetBuffer(sub->UrbMemory, &urbSize), static_cast<PVOID>(sub->Urb));
        EXPECT_EQ(urbSize, 128u);
        EXPECT_NE(sub->TransferBuffer, nullptr);
        buffers.push_back(sub->TransferBuffer);
        buffers.push_back(sub->Urb);
    }
    std::sort(buffers.begin(), buffers.end());
    EXPECT_EQ(std::adjacent_find(buffers.begin(), buffers.end()), buffers.end()) << "two sub-requests share memory";

    // Close gives back every request and memory object of the set.
    ASSERT_TRUE(CloseFile());
    EXPECT_EQ(sim::Counters::LiveObjects(), liveBefore - kFileObjects);
}

// A start that is refused leaves the file exactly as it was, so a correct
// start can follow.
struct RefusedBuild {
    ULONG transferLength;
    ULONG requestCount;
};

class EngineRefusedBuildTest : public EngineTest, public ::testing::WithParamInterface<RefusedBuild> {};

TEST_P(EngineRefusedBuildTest, ReturnsInvalidParameterAndChangesNothing)
{
    FILE_CONTEXT before;
    std::memcpy(&before, fc, sizeof before);
    std::uint64_t objectsBefore = sim::Counters::ObjectsCreated();

    EXPECT_EQ(BuildBulkInBuffers(device, GetParam().transferLength, GetParam().requestCount),
              STATUS_INVALID_PARAMETER);

    EXPECT_EQ(std::memcmp(&before, fc, sizeof before), 0);
    EXPECT_EQ(sim::Counters::ObjectsCreated(), objectsBefore);
    EXPECT_EQ(BuildBulkInBuffers(device, kLength, 2), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Values, EngineRefusedBuildTest,
                         ::testing::Values(RefusedBuild{0, 4}, RefusedBuild{kLength, 0}, RefusedBuild{0, 0}),
                         [](const ::testing::TestParamInfo<RefusedBuild>& info) {
                             return "Length" + std::to_string(info.param.transferLength) + "Count" +
                                    std::to_string(info.param.requestCount);
                         });

TEST_F(EngineBuildTest, ASecondBuildAfterASuccessfulOneIsRefusedAndChangesNothing)
{
    ASSERT_EQ(BuildBulkInBuffers(device, kLength, 4), STATUS_SUCCESS);
    FILE_CONTEXT before;
    std::memcpy(&before, fc, sizeof before);
    std::uint64_t objectsBefore = sim::Counters::ObjectsCreated();

    EXPECT_EQ(BuildBulkInBuffers(device, 2 * kLength, 8), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(std::memcmp(&before, fc, sizeof before), 0);
    EXPECT_EQ(sim::Counters::ObjectsCreated(), objectsBefore);
    EXPECT_EQ(Idle(), 4u);
    EXPECT_EQ(Outstanding(), 1); // still one bias, which close releases once
}

// A build of three sub-requests failing at each of its steps. The bits of the
// steps that began before the failure stay; the failing step's bit and the
// "built" bit are cleared.
struct BuildFailure {
    const char* name;
    const char* function;
    std::uint64_t occurrence;
    UCHAR bufferState;
};

class EngineBuildFailureTest : public EngineTest, public ::testing::WithParamInterface<BuildFailure> {};

TEST_P(EngineBuildFailureTest, UndoesEverythingAndCloseNeitherReleasesABiasNorWaits)
{
    std::uint64_t liveObjects = sim::Counters::LiveObjects();
    std::uint64_t liveBytes = sim::Counters::LiveAllocationBytes();
    FailNext(GetParam().function, GetParam().occurrence);

    EXPECT_EQ(BuildBulkInBuffers(device, kLength, 3), STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(fc->BufferState, GetParam().bufferState);
    EXPECT_EQ(fc->BuildClaimed, 0) << "a failed build must release its claim";
    EXPECT_EQ(Outstanding(), 0);
    EXPECT_EQ(Idle(), 0u);
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(Completed(), 0u);
    EXPECT_EQ(sim::Counters::LiveObjects(), liveObjects);
    EXPECT_EQ(sim::Counters::LiveAllocationBytes(), liveBytes);

    std::uint64_t delays = sim::Clock::Delays();
    ASSERT_TRUE(CloseFile());
    EXPECT_EQ(sim::Clock::Delays(), delays) << "close waited for a set that was never built";
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, EngineBuildFailureTest,
    ::testing::Values(BuildFailure{"FirstRequest", "WdfRequestCreate", 1, 0x00},
                      BuildFailure{"FirstTransferBuffer", "WdfMemoryCreate", 1, 0x02},
                      BuildFailure{"FirstUrbMemory", "WdfMemoryCreate", 2, 0x06},
                      BuildFailure{"ThirdRequest", "WdfRequestCreate", 3, 0x0C},
                      BuildFailure{"ThirdTransferBuffer", "WdfMemoryCreate", 5, 0x0A},
                      BuildFailure{"ThirdUrbMemory", "WdfMemoryCreate", 6, 0x06}),
    [](const ::testing::TestParamInfo<BuildFailure>& info) { return std::string(info.param.name); });

TEST_F(EngineBuildTest, AStartThatFailedCanBeRepeatedAndThenStreams)
{
    FailNext("WdfMemoryCreate", 4);
    ASSERT_EQ(Start(kLength, 3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WorkItemQueued(), 0);

    ASSERT_EQ(Start(kLength, 3), STATUS_SUCCESS);
    EXPECT_EQ(fc->BuildClaimed, 1);
    EXPECT_EQ(Outstanding(), 2); // the bias and the queued work item
    EXPECT_EQ(sim::WorkItems::RunAll(), 1u);
    EXPECT_EQ(hardware->PendingTransfers(), 3u);
    EXPECT_EQ(hardware->Produce(1), 1u);
    auto read = Read(kLength);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(HoldsBlock(*read, 0, kLength));
}

// ---------------------------------------------------------------------------
// Streaming without a reader: pause at the threshold, recycle above it
// ---------------------------------------------------------------------------

struct ThresholdCase {
    ULONG requestCount;
    ULONG threshold; // BulkInRequestCount / 4
};

class EngineOverrunTest : public EngineTest, public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(EngineOverrunTest, PausesAtTheThresholdAndRecyclesTheOldestBlockOnlyAboveIt)
{
    const ULONG count = GetParam().requestCount;
    const ULONG threshold = GetParam().threshold;
    ASSERT_EQ(Start(kLength, count), STATUS_SUCCESS);
    ASSERT_EQ(sim::WorkItems::RunAll(), 1u);
    ASSERT_EQ(Pending(), count);
    ASSERT_EQ(hardware->PendingTransfers(), count);

    // Up to the threshold the stream pauses: nothing idle, nothing dropped,
    // and no work item left claiming the file.
    ASSERT_EQ(hardware->Produce(threshold), threshold);
    sim::WorkItems::RunAll();
    EXPECT_EQ(Completed(), threshold);
    EXPECT_EQ(Pending(), count - threshold);
    EXPECT_EQ(Idle(), 0u);
    EXPECT_EQ(WorkItemQueued(), 0);
    EXPECT_EQ(sim::WorkItems::Queued(), 0u);

    // One block more: the oldest is dropped unread and its sub-request goes
    // straight back to the pipe.
    ASSERT_EQ(hardware->Produce(1), 1u);
    sim::WorkItems::RunAll();
    EXPECT_EQ(Completed(), threshold);
    EXPECT_EQ(Pending(), count - threshold);
    EXPECT_EQ(Idle(), 0u);
    EXPECT_EQ(WorkItemQueued(), 0);
    EXPECT_EQ(hardware->PendingTransfers(), count - threshold);
    EXPECT_EQ(Outstanding(), static_cast<LONG>(1 + count - threshold));

    // What is left is the newest blocks, oldest first: block 0 is gone.
    for (ULONG i = 0; i < threshold; i++) {
        auto read = Read(kLength);
        ASSERT_TRUE(read->Done());
        ASSERT_EQ(read->Status(), STATUS_SUCCESS);
        EXPECT_EQ(SequenceOf(*read), std::optional<std::uint64_t>(i + 1));
    }
}

INSTANTIATE_TEST_SUITE_P(SetSizes, EngineOverrunTest,
                         ::testing::Values(ThresholdCase{1, 0}, ThresholdCase{3, 0}, ThresholdCase{4, 1},
                                           ThresholdCase{16, 4}, ThresholdCase{256, 64}),
                         [](const ::testing::TestParamInfo<ThresholdCase>& info) {
                             return "Count" + std::to_string(info.param.requestCount);
                         });

class EngineStreamTest : public EngineTest {};

TEST_F(EngineStreamTest, WithOneSubRequestAndNoReaderALaterReadGetsTheNewestBlock)
{
    ASSERT_EQ(Start(kLength, 1), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(hardware->Produce(1), 1u);
        sim::WorkItems::RunAll(); // recycles the block and sends the sub-request again
        ASSERT_EQ(Completed(), 0u);
        ASSERT_EQ(hardware->PendingTransfers(), 1u);
    }
    ASSERT_EQ(hardware->Produce(1), 1u);
    auto read = Read(kLength);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(HoldsBlock(*read, 5, kLength));
    EXPECT_EQ(hardware->DataBlocksSent(), 6u);
}

// ---------------------------------------------------------------------------
// Reads
// ---------------------------------------------------------------------------

TEST_F(EngineStreamTest, ReadsReceiveBlocksOldestFirst)
{
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    ASSERT_EQ(hardware->Produce(3), 3u);
    for (std::uint64_t expected = 0; expected < 3; expected++) {
        auto read = Read(kLength);
        ASSERT_TRUE(read->Done());
        ASSERT_EQ(read->Status(), STATUS_SUCCESS);
        EXPECT_TRUE(HoldsBlock(*read, expected, kLength)) << "read " << expected;
    }
    EXPECT_EQ(Completed(), 0u);
    EXPECT_EQ(Idle(), 3u);
    // The work item the first completion queued sends them again.
    sim::WorkItems::RunAll();
    EXPECT_EQ(hardware->PendingTransfers(), 4u);
}

TEST_F(EngineStreamTest, ParkedReadsAreServedByTheCompletionRoutineInOrder)
{
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    auto first = Read(kLength);
    auto second = Read(kLength);
    EXPECT_FALSE(first->Done());
    EXPECT_FALSE(second->Done());

    ASSERT_EQ(hardware->Produce(1), 1u);
    ASSERT_TRUE(first->Done());
    EXPECT_FALSE(second->Done());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(HoldsBlock(*first, 0, kLength));

    ASSERT_EQ(hardware->Produce(1), 1u);
    ASSERT_TRUE(second->Done());
    EXPECT_TRUE(HoldsBlock(*second, 1, kLength));
    EXPECT_EQ(Completed(), 0u);
    EXPECT_EQ(Idle(), 2u);
}

// The lengths a transfer can end with; the read receives exactly those bytes.
struct LengthCase {
    const char* name;
    ULONG transferLength;
    sim::ImagerBlock block;
    ULONG received;
};

class EngineBlockLengthTest : public EngineTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(EngineBlockLengthTest, TheReadReceivesExactlyTheBytesOfTheTransfer)
{
    const LengthCase& c = GetParam();
    hardware->Script({c.block});
    ASSERT_EQ(Start(c.transferLength, 2), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    ASSERT_EQ(hardware->Produce(1), 1u);
    ASSERT_EQ(Completed(), 1u);

    auto read = Read(c.transferLength);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), c.received);
    EXPECT_TRUE(HoldsBlock(*read, 0, c.received));
    std::vector<UCHAR> out = read->Output();
    for (size_t i = c.received; i < out.size(); i++) {
        ASSERT_EQ(out[i], 0xEE) << "byte " << i << " beyond the block was written";
    }
    EXPECT_EQ(Idle(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, EngineBlockLengthTest,
    ::testing::Values(LengthCase{"ZeroLength", kLength, sim::ImagerBlock::Data(0), 0},
                      LengthCase{"OneByte", kLength, sim::ImagerBlock::Data(1), 1},
                      LengthCase{"Short", kLength, sim::ImagerBlock::Data(100), 100},
                      LengthCase{"Full", kLength, sim::ImagerBlock::Full(), kLength},
                      LengthCase{"TransferNotAPacketMultiple", 100, sim::ImagerBlock::Full(), 100}),
    [](const ::testing::TestParamInfo<LengthCase>& info) { return std::string(info.param.name); });

TEST_F(EngineStreamTest, ABlockLongerThanTheOutputStaysAtTheHeadForARetryWithRoom)
{
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    ASSERT_EQ(hardware->Produce(2), 2u);

    auto tooSmall = Read(100);
    ASSERT_TRUE(tooSmall->Done());
    EXPECT_EQ(tooSmall->Status(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall->Information(), kLength);
    EXPECT_EQ(tooSmall->Output(), std::vector<UCHAR>(100, 0xEE));
    EXPECT_EQ(Completed(), 2u);
    EXPECT_EQ(Idle(), 0u);

    auto retry = Read(kLength);
    ASSERT_TRUE(retry->Done());
    EXPECT_EQ(retry->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(HoldsBlock(*retry, 0, kLength));
    auto next = Read(kLength);
    ASSERT_TRUE(next->Done());
    EXPECT_TRUE(HoldsBlock(*next, 1, kLength));
}

TEST_F(EngineStreamTest, AParkedReadTooSmallForTheBlockLeavesItForTheNextRead)
{
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    auto tooSmall = Read(100);
    EXPECT_FALSE(tooSmall->Done());

    ASSERT_EQ(hardware->Produce(1), 1u);
    ASSERT_TRUE(tooSmall->Done());
    EXPECT_EQ(tooSmall->Status(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall->Information(), kLength);
    EXPECT_EQ(Completed(), 1u);

    auto retry = Read(kLength);
    ASSERT_TRUE(retry->Done());
    EXPECT_EQ(retry->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(HoldsBlock(*retry, 0, kLength));
}

TEST_F(EngineStreamTest, AReadThatFindsNothingPendingRestartsAStalledStream)
{
    // Threshold 1: the first block pauses the stream; the three failures
    // that follow leave nothing in flight and start nothing.
    hardware->Script({sim::ImagerBlock::Full(), sim::ImagerBlock::Error(), sim::ImagerBlock::StallOnce(),
                      sim::ImagerBlock::Error()});
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    ASSERT_EQ(hardware->Produce(1), 1u);
    sim::WorkItems::RunAll();
    ASSERT_EQ(WorkItemQueued(), 0);
    ASSERT_EQ(hardware->Produce(3), 3u);
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(Idle(), 3u);
    EXPECT_EQ(sim::WorkItems::Queued(), 0u);

    auto read = Read(kLength);
    ASSERT_TRUE(read->Done());
    EXPECT_TRUE(HoldsBlock(*read, 0, kLength));
    EXPECT_EQ(sim::WorkItems::RunAll(), 1u);
    EXPECT_EQ(hardware->PendingTransfers(), 4u);
    EXPECT_EQ(Pending(), 4u);
}

// ---------------------------------------------------------------------------
// The client's event
// ---------------------------------------------------------------------------

TEST_F(EngineStreamTest, TheEventIsSetForEachBlockAndOnDeliveryOnlyWhileBlocksRemain)
{
    sim::ClientEvent event;
    fc->NotifyEvent = event.KernelEvent();
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    EXPECT_EQ(event.SetCount(), 0u);

    ASSERT_EQ(hardware->Produce(2), 2u);
    EXPECT_EQ(event.SetCount(), 2u);
    EXPECT_TRUE(event.Signaled());

    event.Reset();
    auto first = Read(kLength);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(event.SetCount(), 3u) << "one block is left, so the delivery sets the event";
    EXPECT_TRUE(event.Signaled());

    event.Reset();
    auto second = Read(kLength);
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(event.SetCount(), 3u) << "nothing is left, so the delivery does not set it";
    EXPECT_FALSE(event.Signaled());

    fc->NotifyEvent = nullptr; // nothing releases the reference yet
}

TEST_F(EngineStreamTest, FailedTransfersReturnToIdleSetNoEventAndStartNothing)
{
    sim::ClientEvent event;
    fc->NotifyEvent = event.KernelEvent();
    hardware->Script({sim::ImagerBlock::Error(), sim::ImagerBlock::StallOnce()});
    ASSERT_EQ(Start(kLength, 2), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    auto parked = Read(kLength);

    ASSERT_EQ(hardware->Produce(2), 2u);
    EXPECT_EQ(hardware->FailedTransfers(), 2u);
    EXPECT_EQ(Idle(), 2u);
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(Completed(), 0u);
    EXPECT_EQ(Outstanding(), 1);
    EXPECT_EQ(event.SetCount(), 0u);
    EXPECT_EQ(sim::WorkItems::Queued(), 0u);
    EXPECT_EQ(WorkItemQueued(), 0);
    EXPECT_FALSE(parked->Done()) << "a USB error is never reported to a reader";
    for (int i = 0; i < 2; i++) {
        PSUB_BULKIN_REQUEST_CONTEXT sub =
            GetSubRequestContext(static_cast<WDFREQUEST>(WdfCollectionGetItem(fc->IdleRequests, i)));
        EXPECT_EQ(sub->BytesReceived, 0u);
    }

    fc->NotifyEvent = nullptr;
    CleanupFile();
    ASSERT_TRUE(parked->Done());
    EXPECT_EQ(parked->Status(), STATUS_CANCELLED);
}

// ---------------------------------------------------------------------------
// The end of the stream
// ---------------------------------------------------------------------------

// Only a transfer of exactly 80 bytes with 0x5A at both offsets 48 and 49
// ends the stream; anything else is a block like any other.
struct EndOfStreamCase {
    const char* name;
    ULONG length;
    bool byte48;
    bool byte49;
    bool stops;
};

class EngineEndOfStreamTest : public EngineTest, public ::testing::WithParamInterface<EndOfStreamCase> {};

TEST_P(EngineEndOfStreamTest, OnlyTheExactBlockStopsTheStream)
{
    const EndOfStreamCase& c = GetParam();
    sim::ClientEvent event;
    fc->NotifyEvent = event.KernelEvent();
    ASSERT_EQ(BuildBulkInBuffers(device, 128, 2), STATUS_SUCCESS);
    std::vector<UCHAR> bytes(c.length, 0x11);
    bytes[48] = c.byte48 ? 0x5A : 0x59;
    bytes[49] = c.byte49 ? 0x5A : 0x5B;

    ASSERT_NO_FATAL_FAILURE(CompleteByHand(bytes));

    EXPECT_EQ(Pending(), 0u);
    if (c.stops) {
        EXPECT_EQ(Outstanding(), 1);
        EXPECT_TRUE(ReadBooleanAcquire(&fc->StreamStopped));
        EXPECT_EQ(Completed(), 0u);
        EXPECT_EQ(Idle(), 2u);
        EXPECT_EQ(event.SetCount(), 0u);
        EXPECT_EQ(sim::WorkItems::Queued(), 0u);
    } else {
        EXPECT_FALSE(ReadBooleanAcquire(&fc->StreamStopped));
        EXPECT_EQ(Completed(), 1u);
        EXPECT_EQ(event.SetCount(), 1u);
        EXPECT_EQ(sim::WorkItems::Queued(), 1u);
        EXPECT_EQ(Outstanding(), 2); // the bias and the work item the block queued
        auto read = Read(128);
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        std::vector<UCHAR> out = read->Output();
        out.resize(read->Information());
        EXPECT_EQ(out, bytes);
    }
    fc->NotifyEvent = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Blocks, EngineEndOfStreamTest,
                         ::testing::Values(EndOfStreamCase{"Exact", 80, true, true, true},
                                           EndOfStreamCase{"OnlyByte48", 80, true, false, false},
                                           EndOfStreamCase{"OnlyByte49", 80, false, true, false},
                                           EndOfStreamCase{"Neither", 80, false, false, false},
                                           EndOfStreamCase{"OneByteLonger", 81, true, true, false},
                                           EndOfStreamCase{"OneByteShorter", 79, true, true, false}),
                         [](const ::testing::TestParamInfo<EndOfStreamCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(EngineStreamTest, TheImagersEndOfStreamBlockEndsTheStreamForGood)
{
    hardware->Script({sim::ImagerBlock::Full(), sim::ImagerBlock::EndOfStream()});
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    ASSERT_EQ(hardware->Produce(2), 2u);
    EXPECT_TRUE(ReadBooleanAcquire(&fc->StreamStopped));
    EXPECT_EQ(Completed(), 1u);
    EXPECT_EQ(Idle(), 1u);
    EXPECT_EQ(Pending(), 2u);

    // The work item the data block queued finds the stream stopped, sends
    // nothing and keeps the claim, so none is ever started again.
    EXPECT_EQ(sim::WorkItems::RunAll(), 1u);
    EXPECT_EQ(Pending(), 2u);
    EXPECT_EQ(Idle(), 1u);
    EXPECT_EQ(WorkItemQueued(), 1);
    EXPECT_EQ(hardware->PendingTransfers(), 2u);

    CleanupFile();
    EXPECT_EQ(hardware->PendingTransfers(), 0u);
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(Outstanding(), 1);
    EXPECT_TRUE(CloseFile());
}

// ---------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------

class EngineWorkItemTest : public EngineTest {};

TEST_F(EngineWorkItemTest, AFailedWorkItemCreationLeavesTheClaimSoNothingIsSentAgain)
{
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    std::uint64_t workItems = sim::Counters::ObjectsCreated("WDFWORKITEM");
    FailNext("WdfWorkItemCreate", 1);

    ASSERT_EQ(hardware->Produce(1), 1u);
    EXPECT_EQ(WorkItemQueued(), 1);
    EXPECT_EQ(sim::WorkItems::Queued(), 0u);
    EXPECT_EQ(sim::Counters::ObjectsCreated("WDFWORKITEM"), workItems);

    // Transfers in flight still complete and are delivered; none is sent.
    ASSERT_EQ(hardware->Produce(3), 3u);
    for (std::uint64_t expected = 0; expected < 4; expected++) {
        auto read = Read(kLength);
        ASSERT_TRUE(read->Done());
        EXPECT_TRUE(HoldsBlock(*read, expected, kLength));
    }
    EXPECT_EQ(sim::WorkItems::Queued(), 0u);
    EXPECT_EQ(Idle(), 4u);
    EXPECT_EQ(hardware->PendingTransfers(), 0u);
    EXPECT_EQ(Outstanding(), 1);
}

TEST_F(EngineWorkItemTest, AStartWhoseWorkItemCannotBeCreatedReportsItAndKeepsTheSetBuilt)
{
    FailNext("WdfWorkItemCreate", 1);
    EXPECT_EQ(Start(kLength, 2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WorkItemQueued(), 1);
    EXPECT_EQ(fc->BufferState & BUFFER_STATE_BUILT, BUFFER_STATE_BUILT);
    EXPECT_EQ(Outstanding(), 1);
    EXPECT_EQ(Idle(), 2u);
    EXPECT_EQ(BuildBulkInBuffers(device, kLength, 2), STATUS_INVALID_PARAMETER);
}

TEST_F(EngineWorkItemTest, EachQueuedWorkItemCountsAsOutstandingUntilItHasRun)
{
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    EXPECT_EQ(Outstanding(), 2); // the bias and the queued work item
    sim::WorkItems::RunAll();
    EXPECT_EQ(Outstanding(), 5); // the bias and four transfers
    ASSERT_EQ(hardware->Produce(1), 1u);
    EXPECT_EQ(sim::WorkItems::Queued(), 1u);
    EXPECT_EQ(Outstanding(), 5); // three transfers and the work item the block queued
    sim::WorkItems::RunAll();
    EXPECT_EQ(Outstanding(), 4); // the block holds the fourth sub-request; nothing idle to send
}

TEST_F(EngineWorkItemTest, CloseWaitsForAWorkItemQueuedBeforeCleanup)
{
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    ASSERT_EQ(hardware->Produce(1), 1u); // queues a work item, held
    ASSERT_EQ(sim::WorkItems::Queued(), 1u);
    CleanupFile();
    EXPECT_EQ(hardware->PendingTransfers(), 0u);

    // The work item runs from inside close's wait; the set must still be
    // whole when it runs, and the wait must end only after it.
    bool ranInsideWait = false;
    ULONG setSizeWhenItRan = 0;
    sim::Clock::SetDelayHook([&](LONGLONG) {
        if (!ranInsideWait && sim::WorkItems::Queued() == 1) {
            setSizeWhenItRan = Idle() + Completed() + Pending();
            ranInsideWait = sim::WorkItems::RunOne();
        }
    });
    bool drained = CloseFile();
    sim::Clock::SetDelayHook(nullptr);

    EXPECT_TRUE(drained);
    EXPECT_TRUE(ranInsideWait) << "close did not wait for the queued work item";
    EXPECT_EQ(setSizeWhenItRan, 4u);
    EXPECT_EQ(sim::WorkItems::Queued(), 0u);
}

TEST_F(EngineWorkItemTest, AWorkItemPassAfterTheStopSendsNothing)
{
    // The late work item's pass, run after cleanup stopped the stream and
    // cancelled what was in flight.
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    CleanupFile();

    EXPECT_EQ(SubmitIdleRequests(file), 0u);

    EXPECT_EQ(hardware->PendingTransfers(), 0u);
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(Idle(), 4u);
    sim::WorkItems::RunAll(); // the work item Start queued ends without sending
    EXPECT_EQ(hardware->PendingTransfers(), 0u);
    EXPECT_EQ(Outstanding(), 1);
    EXPECT_TRUE(CloseFile());
}

// ---------------------------------------------------------------------------
// Cleanup and close
// ---------------------------------------------------------------------------

class EngineCloseTest : public EngineTest {};

TEST_F(EngineCloseTest, CleanupCancelsEveryTransferInFlightAndTheCountDrains)
{
    std::uint64_t liveBefore = sim::Counters::LiveObjects();
    ASSERT_EQ(Start(kLength, 8), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    ASSERT_EQ(hardware->PendingTransfers(), 8u);
    EXPECT_EQ(Outstanding(), 9);
    auto parked = Read(kLength);
    EXPECT_FALSE(parked->Done());

    CleanupFile();

    ASSERT_TRUE(parked->Done());
    EXPECT_EQ(parked->Status(), STATUS_CANCELLED);
    EXPECT_EQ(hardware->PendingTransfers(), 0u);
    EXPECT_EQ(Pending(), 0u);
    EXPECT_EQ(Idle(), 8u);
    EXPECT_EQ(Outstanding(), 1);
    EXPECT_EQ(sim::WorkItems::Queued(), 0u) << "a cancelled transfer starts nothing";
    EXPECT_EQ(hardware->DataBlocksSent(), 0u);

    std::uint64_t delays = sim::Clock::Delays();
    ASSERT_TRUE(CloseFile());
    EXPECT_EQ(sim::Clock::Delays(), delays) << "nothing was left to wait for";
    EXPECT_EQ(sim::Counters::LiveObjects(), liveBefore - kFileObjects);
}

TEST_F(EngineCloseTest, CloseWaitsForACancelledTransferThatCompletesLate)
{
    ASSERT_EQ(Start(kLength, 2), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    ASSERT_EQ(hardware->Produce(1), 1u);
    sim::WorkItems::RunAll();
    // Mark cleanup's stop without cancelling, as if the cancellation of the
    // last transfer had not come back yet.
    WriteBooleanRelease(&fc->StreamStopped, TRUE);
    ASSERT_EQ(Pending(), 2u);

    int hookCalls = 0;
    sim::Clock::SetDelayHook([&](LONGLONG) {
        if (++hookCalls == 3) {
            StopBulkIn(file);
        }
    });
    bool drained = CloseFile();
    sim::Clock::SetDelayHook(nullptr);
    EXPECT_TRUE(drained);
    EXPECT_GE(hookCalls, 3);
    EXPECT_EQ(hardware->PendingTransfers(), 0u);
}

// ---------------------------------------------------------------------------
// Allocation
// ---------------------------------------------------------------------------

TEST_F(EngineStreamTest, StreamingCreatesOneWorkItemPerStartAndNothingPerTransfer)
{
    ASSERT_EQ(Start(kLength, 4), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    std::uint64_t objects = sim::Counters::ObjectsCreated();
    std::uint64_t workItems = sim::Counters::ObjectsCreated("WDFWORKITEM");
    std::uint64_t allocations = sim::Counters::Allocations();
    std::uint64_t live = sim::Counters::LiveObjects();
    std::uint64_t liveBytes = sim::Counters::LiveAllocationBytes();

    std::size_t workItemsRun = 0;
    for (int i = 0; i < 500; i++) {
        ASSERT_EQ(hardware->Produce(1), 1u);
        workItemsRun += sim::WorkItems::RunAll();
    }
    EXPECT_EQ(hardware->DataBlocksSent(), 500u);
    EXPECT_GT(workItemsRun, 0u);

    std::uint64_t newWorkItems = sim::Counters::ObjectsCreated("WDFWORKITEM") - workItems;
    EXPECT_EQ(newWorkItems, workItemsRun);
    EXPECT_EQ(sim::Counters::ObjectsCreated() - objects, newWorkItems) << "an object other than a work item";
    EXPECT_EQ(sim::Counters::Allocations() - allocations, newWorkItems) << "one context per work item, nothing else";
    EXPECT_EQ(sim::Counters::LiveObjects(), live);
    EXPECT_EQ(sim::Counters::LiveAllocationBytes(), liveBytes);
}

// ---------------------------------------------------------------------------
// Completions inside a send, and transfers the stack fails
// ---------------------------------------------------------------------------

TEST_F(EngineStreamTest, ASubRequestAParkedReadGaveBackDuringAPassIsSentAgain)
{
    ASSERT_EQ(Start(kLength, 1), STATUS_SUCCESS);
    auto parked = Read(kLength);
    ASSERT_FALSE(parked->Done());

    // The pass's one send completes before WdfRequestSend returns; its block
    // goes straight to the parked read and the sub-request is idle again
    // while the pass still holds WorkItemQueued.
    hardware->CompleteOnSubmit(1);
    ASSERT_TRUE(sim::WorkItems::RunOne());
    ASSERT_TRUE(parked->Done());
    EXPECT_EQ(parked->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(HoldsBlock(*parked, 0, kLength));
    EXPECT_EQ(Idle(), 1u);
    EXPECT_EQ(sim::WorkItems::Queued(), 1u) << "an idle sub-request left with nothing to send it";

    sim::WorkItems::RunAll();
    EXPECT_EQ(Pending(), 1u);
    auto next = Read(kLength);
    ASSERT_FALSE(next->Done());
    ASSERT_EQ(hardware->Produce(1), 1u);
    ASSERT_TRUE(next->Done());
    EXPECT_TRUE(HoldsBlock(*next, 1, kLength));
}

TEST_F(EngineStreamTest, ATransferTheStackFailsIsNotTakenForABlock)
{
    // The URB still says what the driver wrote: full length, no error.
    hardware->Script({sim::ImagerBlock::FailedByStack()});
    ASSERT_EQ(Start(kLength, 1), STATUS_SUCCESS);
    sim::WorkItems::RunAll();
    auto parked = Read(kLength);
    ASSERT_EQ(hardware->Produce(1), 1u);
    EXPECT_FALSE(parked->Done());
    EXPECT_EQ(Completed(), 0u);
    EXPECT_EQ(Idle(), 1u);
    EXPECT_EQ(GetSubRequestContext(static_cast<WDFREQUEST>(WdfCollectionGetFirstItem(fc->IdleRequests)))->BytesReceived,
              0u);
    EXPECT_EQ(sim::WorkItems::Queued(), 0u);
    CleanupFile();
    ASSERT_TRUE(parked->Done());
    EXPECT_EQ(parked->Status(), STATUS_CANCELLED);
}

} // namespace
