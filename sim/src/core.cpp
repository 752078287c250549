// The object model, the handle table, the verifier's record, fault injection,
// counters, the per-thread IRQL and the clock.
#include "core.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

namespace sim {

namespace {

struct VerifierState {
    std::mutex lock;
    std::vector<std::string> failures;
    std::atomic<std::uint64_t> breakPoints{0};
};

VerifierState& V()
{
    static VerifierState state;
    return state;
}

struct FaultRule {
    std::string function; // empty: global call number
    std::uint64_t occurrence = 0; // 0: every call
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
};

struct FaultState {
    std::mutex lock;
    std::vector<FaultRule> rules;
    std::uint64_t total = 0;
    std::map<std::string, std::uint64_t> perFunction;
    std::vector<std::string> log;
};

FaultState& F()
{
    static FaultState state;
    return state;
}

struct CounterState {
    std::atomic<std::uint64_t> objects{0};
    std::atomic<std::uint64_t> driverObjects{0};
    std::atomic<std::uint64_t> allocations{0};
    std::atomic<std::uint64_t> liveBytes{0};
    std::mutex lock;
    std::map<std::string, std::uint64_t> perType;
};

CounterState& C()
{
    static CounterState state;
    return state;
}

struct Table {
    std::recursive_mutex lock;
    std::unordered_map<std::uint64_t, Object*> live;
    std::unordered_map<std::uint64_t, std::string> gone; // id -> what it was and why
    std::uint64_t nextId = 0x1000;
};

Table& T()
{
    static Table table;
    return table;
}

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local std::vector<SpinLockObject*> t_heldLocks;

struct ClockState {
    std::atomic<LONGLONG> now{0};
    std::atomic<std::uint64_t> delays{0};
    std::mutex lock;
    double scale = 0.001;
    std::function<void(LONGLONG)> hook;
};

ClockState& K()
{
    static ClockState state;
    return state;
}

// Context blocks start with a header that leads back to the object.
struct alignas(16) ContextHeader {
    std::uint64_t magic;
    Object* owner;
};
constexpr std::uint64_t kContextMagic = 0x5a444b5543545854ull;

} // namespace

const char* TypeName(Type type)
{
    switch (type) {
    case Type::Driver: return "WDFDRIVER";
    case Type::Device: return "WDFDEVICE";
    case Type::Queue: return "WDFQUEUE";
    case Type::Request: return "WDFREQUEST";
    case Type::FileObject: return "WDFFILEOBJECT";
    case Type::Memory: return "WDFMEMORY";
    case Type::SpinLock: return "WDFSPINLOCK";
    case Type::Collection: return "WDFCOLLECTION";
    case Type::WorkItem: return "WDFWORKITEM";
    case Type::Key: return "WDFKEY";
    case Type::IoTarget: return "WDFIOTARGET";
    case Type::UsbDevice: return "WDFUSBDEVICE";
    case Type::UsbInterface: return "WDFUSBINTERFACE";
    case Type::UsbPipe: return "WDFUSBPIPE";
    }
    return "?";
}

// --- verifier -----------------------------------------------------------------

void Verifier::Fail(const std::string& what)
{
    std::lock_guard<std::mutex> guard(V().lock);
    V().failures.push_back(what);
    if (std::getenv("SIM_VERIFIER_ABORT") != nullptr) {
        std::fprintf(stderr, "verifier: %s\n", what.c_str());
        std::abort();
    }
}

std::vector<std::string> Verifier::Failures()
{
    std::lock_guard<std::mutex> guard(V().lock);
    return V().failures;
}

bool Verifier::Clean()
{
    std::lock_guard<std::mutex> guard(V().lock);
    return V().failures.empty();
}

std::vector<std::string> Verifier::Take()
{
    std::lock_guard<std::mutex> guard(V().lock);
    std::vector<std::string> taken;
    taken.swap(V().failures);
    return taken;
}

std::uint64_t Verifier::BreakPoints()
{
    return V().breakPoints.load();
}

// --- fault injection --------------------------------------------------------------

void Faults::FailCall(const std::string& function, std::uint64_t occurrence, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(F().lock);
    F().rules.push_back({function, occurrence, status});
}

void Faults::FailEvery(const std::string& function, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(F().lock);
    F().rules.push_back({function, 0, status});
}

void Faults::FailGlobalCall(std::uint64_t callNumber, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(F().lock);
    F().rules.push_back({std::string(), callNumber, status});
}

void Faults::Clear()
{
    std::lock_guard<std::mutex> guard(F().lock);
    F().rules.clear();
}

std::uint64_t Faults::CallCount()
{
    std::lock_guard<std::mutex> guard(F().lock);
    return F().total;
}

std::uint64_t Faults::CallCount(const std::string& function)
{
    std::lock_guard<std::mutex> guard(F().lock);
    auto it = F().perFunction.find(function);
    return it == F().perFunction.end() ? 0 : it->second;
}

std::vector<std::string> Faults::CallLog()
{
    std::lock_guard<std::mutex> guard(F().lock);
    return F().log;
}

bool Faults::ShouldFail(const char* function, NTSTATUS* status)
{
    std::lock_guard<std::mutex> guard(F().lock);
    std::uint64_t global = ++F().total;
    std::uint64_t mine = ++F().perFunction[function];
    if (F().log.size() < 100000) {
        F().log.emplace_back(function);
    }
    for (const FaultRule& rule : F().rules) {
        bool hit;
        if (rule.function.empty()) {
            hit = rule.occurrence == global;
        } else {
            hit = rule.function == function && (rule.occurrence == 0 || rule.occurrence == mine);
        }
        if (hit) {
            *status = rule.status;
            return true;
        }
    }
    return false;
}

// --- counters ------------------------------------------------------------------------

std::uint64_t Counters::ObjectsCreated()
{
    return C().objects.load();
}

std::uint64_t Counters::DriverObjectsCreated()
{
    return C().driverObjects.load();
}

std::uint64_t Counters::ObjectsCreated(const std::string& typeName)
{
    std::lock_guard<std::mutex> guard(C().lock);
    auto it = C().perType.find(typeName);
    return it == C().perType.end() ? 0 : it->second;
}

std::uint64_t Counters::LiveObjects()
{
    std::lock_guard<std::recursive_mutex> guard(T().lock);
    return T().live.size();
}

std::uint64_t Counters::Allocations()
{
    return C().allocations.load();
}

std::uint64_t Counters::LiveAllocationBytes()
{
    return C().liveBytes.load();
}

void CountObjectCreated(const Object* object)
{
    Type type = object->type;
    C().objects++;
    if (object->driverCreated) {
        C().driverObjects++;
    }
    std::lock_guard<std::mutex> guard(C().lock);
    C().perType[TypeName(type)]++;
}

void* AllocateTracked(size_t size)
{
    void* block = ::operator new(size, std::align_val_t(16), std::nothrow);
    if (block != nullptr) {
        std::memset(block, 0, size);
        C().allocations++;
        C().liveBytes += size;
    }
    return block;
}

void FreeTracked(void* block, size_t size)
{
    if (block != nullptr) {
        C().liveBytes -= size;
        ::operator delete(block, std::align_val_t(16));
    }
}

// --- IRQL --------------------------------------------------------------------------------

KIRQL CurrentIrql() { return t_irql; }
void SetIrql(KIRQL irql) { t_irql = irql; }
std::vector<SpinLockObject*>& HeldSpinLocks() { return t_heldLocks; }

bool CheckIrqlAtMost(KIRQL maximum, const char* caller)
{
    if (t_irql > maximum) {
        Verifier::Fail(std::string(caller) + " called at IRQL " + std::to_string(t_irql) +
                       ", above its maximum " + std::to_string(maximum));
        return false;
    }
    return true;
}

bool CheckMaySend(const char* caller)
{
    if (!t_heldLocks.empty()) {
        Verifier::Fail(std::string(caller) + " called with a spin lock held");
        return false;
    }
    return true;
}

bool CheckMayBlock(const char* caller)
{
    if (!t_heldLocks.empty()) {
        Verifier::Fail(std::string(caller) + " blocks with a spin lock held");
        return false;
    }
    return CheckIrqlAtMost(PASSIVE_LEVEL, caller);
}

void RunAtDispatch(const std::function<void()>& fn)
{
    IrqlScope scope(DISPATCH_LEVEL);
    fn();
}

// --- objects ------------------------------------------------------------------------------

Object::Object(Type t, Object* p) : type(t), parent(p) {}

Object::~Object()
{
    for (Context& context : contexts) {
        FreeTracked(context.block, sizeof(ContextHeader) + context.size);
    }
}

std::recursive_mutex& TableLock() { return T().lock; }

void Register(Object* object)
{
    std::lock_guard<std::recursive_mutex> guard(T().lock);
    object->id = T().nextId;
    T().nextId += 0x10;
    T().live[object->id] = object;
    CountObjectCreated(object);
}

void Unregister(Object* object)
{
    std::lock_guard<std::recursive_mutex> guard(T().lock);
    T().live.erase(object->id);
}

void SetGoneReason(Object* object, const char* reason)
{
    std::lock_guard<std::recursive_mutex> guard(T().lock);
    T().gone[object->id] = std::string(TypeName(object->type)) + " " + reason;
}

namespace {

std::string HandleText(WDFOBJECT handle)
{
    char text[32];
    std::snprintf(text, sizeof text, "%#llx", (unsigned long long)reinterpret_cast<std::uintptr_t>(handle));
    return text;
}

} // namespace

Object* LookupAny(WDFOBJECT handle, const char* caller, bool allowDisposed)
{
    if (handle == nullptr) {
        Verifier::Fail(std::string(caller) + ": NULL handle");
        return nullptr;
    }
    std::uint64_t id = reinterpret_cast<std::uintptr_t>(handle);
    std::lock_guard<std::recursive_mutex> guard(T().lock);
    auto it = T().live.find(id);
    if (it == T().live.end()) {
        auto gone = T().gone.find(id);
        if (gone != T().gone.end()) {
            Verifier::Fail(std::string(caller) + ": handle " + HandleText(handle) +
                           " used after deletion (" + gone->second + ")");
        } else {
            Verifier::Fail(std::string(caller) + ": " + HandleText(handle) + " is not a framework handle");
        }
        return nullptr;
    }
    Object* object = it->second;
    if (!allowDisposed && object->disposed.load()) {
        auto gone = T().gone.find(id);
        Verifier::Fail(std::string(caller) + ": handle " + HandleText(handle) + " used after deletion (" +
                       (gone != T().gone.end() ? gone->second : std::string(TypeName(object->type)) + " deleted") +
                       ", only a reference keeps it)");
        return nullptr;
    }
    return object;
}

Object* Lookup(WDFOBJECT handle, Type type, const char* caller, bool allowDisposed)
{
    Object* object = LookupAny(handle, caller, allowDisposed);
    if (object != nullptr && object->type != type) {
        Verifier::Fail(std::string(caller) + ": handle " + HandleText(handle) + " is a " +
                       TypeName(object->type) + ", not a " + TypeName(type));
        return nullptr;
    }
    return object;
}

void LinkToParent(Object* object, Object* parent)
{
    std::lock_guard<std::recursive_mutex> guard(T().lock);
    object->parent = parent;
    if (parent != nullptr) {
        parent->children.push_back(object);
    }
}

void AddContext(Object* object, PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo, size_t sizeOverride)
{
    size_t size = typeInfo->ContextSize;
    if (sizeOverride > size) {
        size = sizeOverride;
    }
    void* block = AllocateTracked(sizeof(ContextHeader) + size);
    auto* header = static_cast<ContextHeader*>(block);
    header->magic = kContextMagic;
    header->owner = object;
    object->contexts.push_back({typeInfo->UniqueType ? typeInfo->UniqueType : typeInfo, block,
                                static_cast<char*>(block) + sizeof(ContextHeader), size});
}

NTSTATUS ApplyAttributes(Object* object, PWDF_OBJECT_ATTRIBUTES attributes, const char* caller)
{
    Object* parent = nullptr;
    if (attributes != nullptr) {
        if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
            Verifier::Fail(std::string(caller) + ": object attributes not initialised");
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (attributes->ParentObject != nullptr) {
            parent = LookupAny(attributes->ParentObject, caller);
            if (parent == nullptr) {
                return STATUS_INVALID_HANDLE;
            }
        }
        if (attributes->ContextTypeInfo != nullptr) {
            AddContext(object, attributes->ContextTypeInfo, attributes->ContextSizeOverride);
        }
        object->cleanup = attributes->EvtCleanupCallback;
        object->destroy = attributes->EvtDestroyCallback;
    }
    if (parent == nullptr && object->parent == nullptr && object->type != Type::Driver) {
        parent = reinterpret_cast<Object*>(TheDriver());
        object->defaultParent = true;
    }
    if (parent != nullptr) {
        LinkToParent(object, parent);
    }
    return STATUS_SUCCESS;
}

namespace {

void Destroy(Object* object)
{
    if (object->destroy != nullptr) {
        object->destroy(object->Handle());
    }
    {
        std::lock_guard<std::recursive_mutex> guard(T().lock);
        T().live.erase(object->id);
        if (T().gone.find(object->id) == T().gone.end()) {
            T().gone[object->id] = std::string(TypeName(object->type)) + " deleted";
        }
        if (object->parent != nullptr) {
            auto& siblings = object->parent->children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), object), siblings.end());
        }
        // Children that outlive their parent (a reference keeps them) are orphans now.
        for (Object* child : object->children) {
            child->parent = nullptr;
        }
    }
    delete object;
}

} // namespace

void DeleteObject(Object* object)
{
    if (object->disposed.exchange(true)) {
        Verifier::Fail(std::string("WdfObjectDelete: ") + TypeName(object->type) + " deleted twice");
        return;
    }
    object->OnDeleteBegin();
    std::vector<Object*> children;
    {
        std::lock_guard<std::recursive_mutex> guard(T().lock);
        children = object->children;
    }
    // Children go first, youngest first.
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        if (!(*it)->disposed.load()) {
            DeleteObject(*it);
        }
    }
    object->OnDispose();
    if (object->cleanup != nullptr) {
        object->cleanup(object->Handle());
    }
    ReleaseReference(object, "WdfObjectDelete");
}

void AddReference(Object* object)
{
    object->references++;
}

void ReleaseReference(Object* object, const char* caller)
{
    long left = --object->references;
    if (left < 0) {
        Verifier::Fail(std::string(caller) + ": reference count of a " + TypeName(object->type) +
                       " dropped below zero");
        object->references++;
        return;
    }
    if (left == 0) {
        if (!object->disposed.load()) {
            // The last reference went while the object was never deleted:
            // that was the creation reference, dropped by a dereference.
            Verifier::Fail(std::string(caller) + ": released the creation reference of a " +
                           TypeName(object->type) + " (reference underflow)");
            object->references++;
            return;
        }
        // Children of a disposed object are already gone.
        Destroy(object);
    }
}

std::vector<Object*> LiveObjectsSnapshot()
{
    std::lock_guard<std::recursive_mutex> guard(T().lock);
    std::vector<Object*> objects;
    for (auto& entry : T().live) {
        objects.push_back(entry.second);
    }
    std::sort(objects.begin(), objects.end(), [](Object* a, Object* b) { return a->id < b->id; });
    return objects;
}

// --- clock ------------------------------------------------------------------------------------

void Clock::SetScale(double scale)
{
    std::lock_guard<std::mutex> guard(K().lock);
    K().scale = scale;
}

void Clock::SetDelayHook(std::function<void(LONGLONG)> hook)
{
    std::lock_guard<std::mutex> guard(K().lock);
    K().hook = std::move(hook);
}

LONGLONG Clock::Now() { return K().now.load(); }
void Clock::Advance(LONGLONG interval) { K().now += interval; }
std::uint64_t Clock::Delays() { return K().delays.load(); }

namespace {

void ResetTable()
{
    std::lock_guard<std::recursive_mutex> guard(T().lock);
    T().gone.clear();
}

} // namespace

void ResetCore()
{
    {
        std::lock_guard<std::mutex> guard(V().lock);
        V().failures.clear();
        V().breakPoints = 0;
    }
    {
        std::lock_guard<std::mutex> guard(F().lock);
        F().rules.clear();
        F().total = 0;
        F().perFunction.clear();
        F().log.clear();
    }
    {
        std::lock_guard<std::mutex> guard(C().lock);
        C().perType.clear();
    }
    C().objects = 0;
    C().driverObjects = 0;
    C().allocations = 0;
    {
        std::lock_guard<std::mutex> guard(K().lock);
        K().scale = 0.001;
        K().hook = nullptr;
    }
    K().now = 0;
    K().delays = 0;
    ResetTable();
}

void NoteBreakPoint()
{
    V().breakPoints++;
}

void NoteDelay(LONGLONG interval)
{
    std::function<void(LONGLONG)> hook;
    double scale;
    {
        std::lock_guard<std::mutex> guard(K().lock);
        hook = K().hook;
        scale = K().scale;
    }
    K().delays++;
    if (hook) {
        hook(interval);
    }
    K().now += interval;
    double seconds = static_cast<double>(interval) * 1e-7 * scale;
    if (seconds > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    } else {
        std::this_thread::yield();
    }
}

} // namespace sim

// --- object routines the driver calls ------------------------------------------------------------

using namespace sim;

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfObjectGetTypedContextWorker");
    Object* object = LookupAny(Handle, "WdfObjectGetTypedContextWorker", true);
    if (object == nullptr || TypeInfo == nullptr) {
        return nullptr;
    }
    PCWDF_OBJECT_CONTEXT_TYPE_INFO unique = TypeInfo->UniqueType ? TypeInfo->UniqueType : TypeInfo;
    for (auto& context : object->contexts) {
        if (context.typeInfo == unique) {
            return context.data;
        }
    }
    return nullptr;
}

WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer)
{
    if (ContextPointer == nullptr) {
        Verifier::Fail("WdfObjectContextGetObject: NULL context");
        return nullptr;
    }
    auto* header = reinterpret_cast<ContextHeader*>(static_cast<char*>(ContextPointer) - sizeof(ContextHeader));
    if (header->magic != kContextMagic) {
        Verifier::Fail("WdfObjectContextGetObject: not a context pointer");
        return nullptr;
    }
    return header->owner->Handle();
}

void WdfObjectReferenceActual(WDFOBJECT Handle, PVOID, LONG, PCSTR)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfObjectReference");
    Object* object = LookupAny(Handle, "WdfObjectReference", true);
    if (object != nullptr) {
        AddReference(object);
    }
}

void WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID, LONG Line, PCSTR File)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfObjectDereference");
    std::string where = std::string("WdfObjectDereference at ") + (File ? File : "?") + ":" + std::to_string(Line);
    Object* object = LookupAny(Handle, where.c_str(), true);
    if (object != nullptr) {
        ReleaseReference(object, where.c_str());
    }
}

void WdfVerifierDbgBreakPoint(void)
{
    NoteBreakPoint();
}
