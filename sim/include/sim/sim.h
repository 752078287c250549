// Test-facing control of the framework stand-in: the verifier's findings,
// fault injection, counters, the clock and the work-item scheduler. The
// host, the client and the simulated imager have headers of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <ntddk.h>

namespace sim {

// Everything the verifier caught since the last Reset(). A test that ends with
// a non-empty list has failed, whatever else it asserted.
struct Verifier {
    static std::vector<std::string> Failures();
    static bool Clean();
    // Drops the findings so far (used by tests that provoke one on purpose).
    static std::vector<std::string> Take();
    // Times WdfVerifierDbgBreakPoint was reached.
    static std::uint64_t BreakPoints();
    // Records a finding; the stand-in calls this, tests of the stand-in may too.
    static void Fail(const std::string& what);
};

// Makes fallible framework calls fail. A rule matches either the n-th call
// (1-based) of one function by name, or the n-th fallible call overall.
struct Faults {
    static void FailCall(const std::string& function, std::uint64_t occurrence,
                         NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    static void FailEvery(const std::string& function, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    static void FailGlobalCall(std::uint64_t callNumber, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    static void Clear();
    // Fallible calls made since the last Reset(), all functions together.
    static std::uint64_t CallCount();
    static std::uint64_t CallCount(const std::string& function);
    // The fallible calls in order, by name (for sweeps that fail each in turn).
    static std::vector<std::string> CallLog();
    // Called by every fallible framework function on entry: true when the call
    // must fail, with the status to return.
    static bool ShouldFail(const char* function, NTSTATUS* status);
};

// Framework objects and allocations, so that a test or a benchmark can show
// what a path allocates.
struct Counters {
    static std::uint64_t ObjectsCreated();
    // Those the driver's own calls created (not presented requests, files...).
    static std::uint64_t DriverObjectsCreated();
    static std::uint64_t ObjectsCreated(const std::string& typeName);
    static std::uint64_t LiveObjects();
    // Heap allocations made on behalf of the driver (contexts, memory objects).
    static std::uint64_t Allocations();
    static std::uint64_t LiveAllocationBytes();
};

// The kernel's notion of time. Delays advance a virtual clock at once and
// sleep for the interval times the scale in real time (default 1/1000, so a
// 5-second wait costs 5 ms). A hook runs on the waiting thread at each delay,
// so a test can act at the exact point where the driver waits.
struct Clock {
    static void SetScale(double realSecondsPerKernelSecond);
    static void SetDelayHook(std::function<void(LONGLONG interval100ns)> hook);
    static LONGLONG Now(); // 100-ns units since Reset()
    static void Advance(LONGLONG interval100ns);
    static std::uint64_t Delays();
};

// The system worker threads that run work items. Automatic (the default): a
// worker thread runs each work item soon after it is queued. Held: work items
// wait until the test runs them, on the test's own thread at PASSIVE_LEVEL.
struct WorkItems {
    static void Hold();
    static void Automatic();
    static std::size_t Queued();
    static bool RunOne();          // false when none was queued
    static std::size_t RunAll();   // also those queued while running
    static void WaitIdle();        // automatic mode: until none is queued or running
};

// Runs fn as the kernel would run a completion or cancel routine or a spin
// lock holder: at DISPATCH_LEVEL, on the calling thread.
void RunAtDispatch(const std::function<void()>& fn);

// Back to a fresh stand-in between tests: no objects, no findings, no rules.
// Reports leftovers (live objects, uncompleted requests) as findings first.
void Reset();

} // namespace sim
