// The bulk-in buffer engine with real threads: races the deterministic tests
// cannot reach. They assert only what must hold however the threads
// interleave, and every wait is bounded. Built and run under ThreadSanitizer
// as well.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "engine_fixture.h"

namespace {

constexpr ULONG kLength = 512;

class EngineConcurrencyTest : public EngineTest {
protected:
    // Runs both functions on threads of their own, released together.
    static void RunTogether(const std::function<void()>& a, const std::function<void()>& b)
    {
        std::atomic<int> ready{0};
        auto gate = [&ready](const std::function<void()>& fn) {
            return std::thread([&ready, fn] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                    std::this_thread::yield();
                }
                fn();
            });
        };
        std::thread first = gate(a);
        std::thread second = gate(b);
        first.join();
        second.join();
    }
};

TEST_F(EngineConcurrencyTest, TwoBuildsRacingExactlyOneSucceedsAndCloseFreesOneSet)
{
    for (int iteration = 0; iteration < 200; iteration++) {
        if (iteration > 0) {
            ASSERT_NO_FATAL_FAILURE(OpenFile());
        }
        std::uint64_t liveBefore = sim::Counters::LiveObjects();
        std::uint64_t requestsBefore = sim::Counters::ObjectsCreated("WDFREQUEST");
        NTSTATUS a = STATUS_PENDING;
        NTSTATUS b = STATUS_PENDING;
        RunTogether([&] { a = BuildBulkInBuffers(device, kLength, 4); },
                    [&] { b = BuildBulkInBuffers(device, kLength, 4); });

        ASSERT_TRUE((a == STATUS_SUCCESS && b == STATUS_INVALID_PARAMETER) ||
                    (a == STATUS_INVALID_PARAMETER && b == STATUS_SUCCESS))
            << "iteration " << iteration << ": 0x" << std::hex << a << ", 0x" << b;
        ASSERT_EQ(Idle(), 4u) << "iteration " << iteration;
        ASSERT_EQ(Outstanding(), 1) << "iteration " << iteration;
        ASSERT_EQ(sim::Counters::ObjectsCreated("WDFREQUEST") - requestsBefore, 4u) << "iteration " << iteration;

        ASSERT_TRUE(CloseFile()) << "iteration " << iteration;
        ASSERT_EQ(sim::Counters::LiveObjects(), liveBefore - kFileObjects) << "iteration " << iteration;
    }
}

TEST_F(EngineConcurrencyTest, CleanupRacingAWorkItemPassNeverLeavesATransferBehind)
{
    for (int iteration = 0; iteration < 200; iteration++) {
        if (iteration > 0) {
            ASSERT_NO_FATAL_FAILURE(OpenFile());
        }
        ASSERT_EQ(Start(kLength, 16), STATUS_SUCCESS); // its work item is held
        RunTogether([] { sim::WorkItems::RunOne(); }, [this] { CleanupFile(); });
        sim::WorkItems::RunAll();

        ASSERT_EQ(hardware->PendingTransfers(), 0u) << "iteration " << iteration << ": a send escaped the stop";
        ASSERT_EQ(Pending(), 0u) << "iteration " << iteration;
        ASSERT_EQ(Idle(), 16u) << "iteration " << iteration;
        ASSERT_TRUE(CloseFile()) << "iteration " << iteration << ": close would wait forever";
    }
}

TEST_F(EngineConcurrencyTest, AReaderKeepsUpWhileTheImagerStreamsThenCleanupRacesTheCompletions)
{
    for (int iteration = 0; iteration < 20; iteration++) {
        if (iteration > 0) {
            ASSERT_NO_FATAL_FAILURE(OpenFile());
        }
        sim::WorkItems::Automatic();
        std::uint64_t sentBefore = hardware->DataBlocksSent();
        ASSERT_EQ(Start(kLength, 8), STATUS_SUCCESS);
        hardware->StartStreaming();

        std::atomic<bool> stop{false};
        std::atomic<bool> readerDone{false};
        std::atomic<std::uint64_t> delivered{0};
        std::atomic<bool> ordered{true};
        std::atomic<bool> intact{true};
        std::atomic<NTSTATUS> unexpected{STATUS_SUCCESS};
        std::thread reader([&] {
            std::optional<std::uint64_t> last;
            while (!stop.load()) {
                auto read = Read(kLength);
                if (!read->Wait(10.0)) {
                    continue; // still parked; cleanup ends it
                }
                NTSTATUS status = read->Status();
                if (status == STATUS_CANCELLED || status == STATUS_FILE_FORCED_CLOSED) {
                    break;
                }
                if (status == STATUS_INVALID_PARAMETER && read->Information() == 0) {
                    // The work item dropped the last block for overrun between
                    // the read's count and its delivery; the client reads again.
                    continue;
                }
                if (status != STATUS_SUCCESS) {
                    unexpected = status;
                    break;
                }
                std::vector<UCHAR> out = read->Output();
                std::optional<std::uint64_t> sequence = SequenceOf(*read);
                if (read->Information() != kLength || !sim::ImagerDevice::CheckBlock(out.data(), kLength) ||
                    !sequence) {
                    intact = false;
                    break;
                }
                if (last && *sequence <= *last) {
                    ordered = false;
                }
                last = sequence;
                delivered++;
            }
            readerDone = true;
        });

        // Let the stream run until the reader has seen some blocks.
        for (int i = 0; i < 20000 && delivered.load() < 200; i++) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        stop = true;
        CleanupFile(); // races the imager's completions and the work item
        // A read that passed the stopped test just before cleanup can reach
        // the read queue after cleanup emptied it; end it as cleanup would,
        // so the reader never waits out its time-out.
        while (!readerDone.load()) {
            WDFREQUEST late;
            while (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(dc->PendingReadQueue, &late))) {
                WdfRequestCompleteWithInformation(late, STATUS_CANCELLED, 0);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        reader.join();
        bool drained = CloseFile();
        hardware->StopStreaming();
        sim::WorkItems::WaitIdle();

        ASSERT_TRUE(drained) << "iteration " << iteration;
        EXPECT_TRUE(ordered) << "iteration " << iteration << ": blocks out of order";
        EXPECT_TRUE(intact) << "iteration " << iteration << ": a damaged or short block";
        EXPECT_EQ(unexpected.load(), STATUS_SUCCESS) << "iteration " << iteration << ": a read failed";
        EXPECT_LE(delivered.load(), hardware->DataBlocksSent() - sentBefore);
        EXPECT_EQ(hardware->PendingTransfers(), 0u) << "iteration " << iteration;
        sim::WorkItems::Hold();
    }
}

} // namespace
