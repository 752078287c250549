// Work items and the system worker thread that runs them.
#include "objects.h"

namespace sim {

namespace {

struct Scheduler {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<WorkItemObject*> queue;
    bool held = false;
    int running = 0;
    std::vector<std::thread> workers; // system worker threads run work items side by side
    bool stop = false;
};

Scheduler& S()
{
    static Scheduler scheduler;
    return scheduler;
}

void RunItem(WorkItemObject* item, std::unique_lock<std::mutex>& lock)
{
    item->queued = false;
    item->running = true;
    item->runner = std::this_thread::get_id();
    S().running++;
    AddReference(item); // the callback may delete its own work item
    lock.unlock();
    {
        IrqlScope scope(PASSIVE_LEVEL);
        item->config.EvtWorkItemFunc(reinterpret_cast<WDFWORKITEM>(item->Handle()));
        if (!HeldSpinLocks().empty()) {
            Verifier::Fail("work item returned with a spin lock held");
        }
    }
    lock.lock();
    item->running = false;
    item->runner = std::thread::id();
    S().running--;
    S().changed.notify_all();
    lock.unlock();
    ReleaseReference(item, "work item");
    lock.lock();
}

void WorkerLoop()
{
    std::unique_lock<std::mutex> lock(S().lock);
    for (;;) {
        S().changed.wait(lock, [] { return S().stop || (!S().held && !S().queue.empty()); });
        if (S().stop) {
            return;
        }
        WorkItemObject* item = S().queue.front();
        S().queue.pop_front();
        RunItem(item, lock);
    }
}

constexpr int kWorkerThreads = 2;

void EnsureWorker(std::unique_lock<std::mutex>&)
{
    if (S().workers.empty()) {
        S().stop = false;
        for (int i = 0; i < kWorkerThreads; i++) {
            S().workers.emplace_back(WorkerLoop);
        }
    }
}

} // namespace

void WorkItemObject::OnDispose()
{
    ForgetWorkItem(this);
}

void EnqueueWorkItem(WorkItemObject* item)
{
    std::unique_lock<std::mutex> lock(S().lock);
    if (item->queued) {
        return; // enqueueing a queued work item does nothing
    }
    item->queued = true;
    S().queue.push_back(item);
    if (!S().held) {
        EnsureWorker(lock);
    }
    S().changed.notify_all();
}

void ForgetWorkItem(WorkItemObject* item)
{
    // Deleting a work item waits for its callback, unless the callback itself
    // deletes it; a queued one never runs.
    std::unique_lock<std::mutex> lock(S().lock);
    for (auto it = S().queue.begin(); it != S().queue.end(); ++it) {
        if (*it == item) {
            S().queue.erase(it);
            item->queued = false;
            break;
        }
    }
    if (item->running && item->runner != std::this_thread::get_id()) {
        S().changed.wait(lock, [item] { return !item->running; });
    }
}

void ResetWorkItems()
{
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().stop = true;
        S().held = false;
        workers.swap(S().workers);
        S().changed.notify_all();
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    std::lock_guard<std::mutex> guard(S().lock);
    S().queue.clear();
    S().stop = false;
}

void WorkItems::Hold()
{
    std::lock_guard<std::mutex> guard(S().lock);
    S().held = true;
}

void WorkItems::Automatic()
{
    std::unique_lock<std::mutex> lock(S().lock);
    S().held = false;
    EnsureWorker(lock);
    S().changed.notify_all();
}

std::size_t WorkItems::Queued()
{
    std::lock_guard<std::mutex> guard(S().lock);
    return S().queue.size();
}

bool WorkItems::RunOne()
{
    std::unique_lock<std::mutex> lock(S().lock);
    if (S().queue.empty()) {
        return false;
    }
    WorkItemObject* item = S().queue.front();
    S().queue.pop_front();
    RunItem(item, lock);
    return true;
}

std::size_t WorkItems::RunAll()
{
    std::size_t ran = 0;
    while (RunOne()) {
        ran++;
    }
    return ran;
}

void WorkItems::WaitIdle()
{
    std::unique_lock<std::mutex> lock(S().lock);
    S().changed.wait(lock, [] { return (S().held || S().queue.empty()) && S().running == 0; });
}

} // namespace sim

using namespace sim;

static bool ReachesDevice(Object* object)
{
    std::lock_guard<std::recursive_mutex> guard(TableLock());
    for (Object* o = object; o != nullptr; o = o->parent) {
        if (o->type == Type::Device) {
            return true;
        }
    }
    return false;
}

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFWORKITEM *WorkItem)
{
    // Documented contract: <= DISPATCH_LEVEL; the parent must be a device or an
    // object whose parent chain reaches one. Automatic serialization has no
    // effect while the parent's synchronization scope is none.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemCreate");
    if (WorkItem == nullptr || Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) ||
        Config->EvtWorkItemFunc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *WorkItem = nullptr;
    if (Attributes == nullptr || Attributes->ParentObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = LookupAny(Attributes->ParentObject, "WdfWorkItemCreate");
    if (parent == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (!ReachesDevice(parent)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    SIM_FALLIBLE("WdfWorkItemCreate");
    auto* item = new WorkItemObject(nullptr);
    item->driverCreated = true;
    item->createdBy = "WdfWorkItemCreate";
    item->config = *Config;
    Register(item);
    NTSTATUS status = ApplyAttributes(item, Attributes, "WdfWorkItemCreate");
    if (!NT_SUCCESS(status)) {
        DeleteObject(item);
        return status;
    }
    *WorkItem = reinterpret_cast<WDFWORKITEM>(item->Handle());
    return STATUS_SUCCESS;
}

void WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemEnqueue");
    auto* item = As<WorkItemObject>(WorkItem, Type::WorkItem, "WdfWorkItemEnqueue");
    if (item != nullptr) {
        EnqueueWorkItem(item);
    }
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemGetParentObject");
    auto* item = As<WorkItemObject>(WorkItem, Type::WorkItem, "WdfWorkItemGetParentObject");
    return item == nullptr || item->parent == nullptr ? nullptr : item->parent->Handle();
}
