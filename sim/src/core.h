// Internals of the framework stand-in: the object model, the handle table,
// the per-thread IRQL and the checks every framework entry point makes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <wdf.h>
#include <wdfusb.h>

#include "sim/sim.h"

namespace sim {

enum class Type {
    Driver,
    Device,
    Queue,
    Request,
    FileObject,
    Memory,
    SpinLock,
    Collection,
    WorkItem,
    Key,
    IoTarget,
    UsbDevice,
    UsbInterface,
    UsbPipe,
};

const char* TypeName(Type type);

// Every framework object. The handle given to the driver is the object's id,
// never its address, and ids are never reused: a stale handle is recognised
// for what it is instead of reaching freed memory.
struct Object {
    Object(Type type, Object* parent);
    virtual ~Object();

    // Type-specific work when the object is deleted: before its children go,
    // and after they were disposed.
    virtual void OnDeleteBegin() {}
    virtual void OnDispose() {}

    Type type;
    std::uint64_t id = 0;
    Object* parent = nullptr;
    std::vector<Object*> children;     // guarded by the table lock
    std::atomic<long> references{1};   // the creation reference
    std::atomic<bool> disposed{false};
    bool driverCreated = false;        // created by a driver call, not by the framework
    bool defaultParent = false;        // the driver gave no parent
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
    // Typed contexts, each zero-filled at creation.
    struct Context {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo;
        void* block;   // header + context
        void* data;
        size_t size;
    };
    std::vector<Context> contexts;
    std::string createdBy;             // framework function that made it

    WDFOBJECT Handle() const { return reinterpret_cast<WDFOBJECT>(id); }
};

// --- the table of live handles ---------------------------------------------

void Register(Object* object);
// Drops an object from the table without deleting it (the host's last resort).
void Unregister(Object* object);
// Looks up a handle the driver passed. Reports a verifier finding and returns
// nullptr when the handle is null, unknown, deleted or of another type.
Object* Lookup(WDFOBJECT handle, Type type, const char* caller, bool allowDisposed = false);
Object* LookupAny(WDFOBJECT handle, const char* caller, bool allowDisposed = false);
template <typename T>
T* As(WDFOBJECT handle, Type type, const char* caller, bool allowDisposed = false)
{
    return static_cast<T*>(Lookup(handle, type, caller, allowDisposed));
}

// Creates the contexts an attribute block asks for and links the parent.
NTSTATUS ApplyAttributes(Object* object, PWDF_OBJECT_ATTRIBUTES attributes, const char* caller);
void AddContext(Object* object, PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo, size_t sizeOverride);
void LinkToParent(Object* object, Object* parent);

// WdfObjectDelete semantics: children first, then the cleanup callback, then
// the creation reference goes; the memory goes with the last reference.
void DeleteObject(Object* object);
void AddReference(Object* object);
void ReleaseReference(Object* object, const char* caller);

// Reason recorded for a handle that is gone, for clearer findings.
void SetGoneReason(Object* object, const char* reason);

std::vector<Object*> LiveObjectsSnapshot();
std::recursive_mutex& TableLock();

// --- IRQL and locks held by the current thread --------------------------------

KIRQL CurrentIrql();
void SetIrql(KIRQL irql);
struct SpinLockObject;
std::vector<SpinLockObject*>& HeldSpinLocks();

struct IrqlScope {
    explicit IrqlScope(KIRQL irql) : saved(CurrentIrql()) { SetIrql(irql); }
    ~IrqlScope() { SetIrql(saved); }
    KIRQL saved;
};

// Checks made at the entry of framework and kernel routines.
bool CheckIrqlAtMost(KIRQL maximum, const char* caller);
bool CheckMayBlock(const char* caller);     // PASSIVE_LEVEL, no spin lock
bool CheckMaySend(const char* caller);      // no spin lock held

// --- allocation accounting -------------------------------------------------------

void* AllocateTracked(size_t size);
void FreeTracked(void* block, size_t size);
void CountObjectCreated(const Object* object);

// --- fault injection shorthand ------------------------------------------------------

#define SIM_FALLIBLE(name)                              \
    do {                                                \
        NTSTATUS injected_;                             \
        if (::sim::Faults::ShouldFail(name, &injected_)) { \
            return injected_;                           \
        }                                               \
    } while (0)

// --- the objects with state of their own ---------------------------------------------

struct DriverObject;
struct DeviceObject;
struct QueueObject;
struct RequestObject;
struct FileObjectObject;
struct MemoryObject;
struct WorkItemObject;

DriverObject* TheDriver();
void SetTheDriver(DriverObject* driver);

// Work items, for the scheduler in workitem.cpp.
void EnqueueWorkItem(WorkItemObject* item);
void ForgetWorkItem(WorkItemObject* item); // dequeues, or waits while it runs elsewhere
void ResetWorkItems();

// The dispatcher event behind a KEVENT a client registered.
void ResetKernelObjects();

} // namespace sim
