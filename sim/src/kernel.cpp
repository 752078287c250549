// Kernel routines: IRQL, delays, strings, dispatcher events and the object
// manager's references to them.
#include <cstring>

#include "objects.h"

namespace sim {
struct SimDispatcherEventImpl;
}

struct SimDispatcherEvent {
    sim::SimDispatcherEventImpl* impl = nullptr;
    KEVENT kernel{};
};

namespace sim {

struct SimDispatcherEventImpl {
    SimDispatcherEvent event;
    std::mutex lock;
    bool signaled = false;
    std::uint64_t sets = 0;
    std::atomic<long> kernelReferences{0};
    std::uint64_t handle = 0;
};

namespace {

struct EventTable {
    std::mutex lock;
    std::map<std::uint64_t, SimDispatcherEventImpl*> byHandle;
    std::uint64_t next = 0x7000;
};

EventTable& E()
{
    static EventTable table;
    return table;
}

SimDispatcherEventImpl* ImplOf(PKEVENT event)
{
    return event->Sim->impl;
}

} // namespace

ClientEvent::ClientEvent() : impl_(new SimDispatcherEventImpl())
{
    impl_->event.impl = impl_;
    impl_->event.kernel.Sim = &impl_->event;
    std::lock_guard<std::mutex> guard(E().lock);
    impl_->handle = E().next;
    E().next += 4;
    E().byHandle[impl_->handle] = impl_;
}

ClientEvent::~ClientEvent()
{
    {
        std::lock_guard<std::mutex> guard(E().lock);
        E().byHandle.erase(impl_->handle);
    }
    if (impl_->kernelReferences.load() != 0) {
        Verifier::Fail("event closed by the client while the driver still holds " +
                       std::to_string(impl_->kernelReferences.load()) + " reference(s) to it");
        return; // leave it to the driver's pointer rather than free it under it
    }
    delete impl_;
}

HANDLE ClientEvent::Handle() const { return reinterpret_cast<HANDLE>(impl_->handle); }

bool ClientEvent::Signaled() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->signaled;
}

void ClientEvent::Reset()
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->signaled = false;
}

std::uint64_t ClientEvent::SetCount() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->sets;
}

PKEVENT ClientEvent::KernelEvent() const { return &impl_->event.kernel; }

long KernelReferences(const ClientEvent& event);

void NoteDelay(LONGLONG interval);

} // namespace sim

using namespace sim;

struct _OBJECT_TYPE {
    const char* name;
};
static _OBJECT_TYPE g_eventTypeObject{"Event"};
static POBJECT_TYPE const g_eventType = &g_eventTypeObject;
static POBJECT_TYPE g_eventTypeSlot = g_eventType;
POBJECT_TYPE *ExEventObjectType = &g_eventTypeSlot;

KIRQL KeGetCurrentIrql(void) { return CurrentIrql(); }

void SimPagedCodeCheck(const char* Function)
{
    if (CurrentIrql() > APC_LEVEL) {
        Verifier::Fail(std::string("pageable code ") + Function + " runs at IRQL " + std::to_string(CurrentIrql()));
    }
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t length = std::wcslen(SourceString) * sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(length);
    DestinationString->MaximumLength = static_cast<USHORT>(length + sizeof(WCHAR));
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    // Documented contract: PASSIVE_LEVEL (APC_LEVEL at most); a negative
    // interval is relative, in 100-ns units.
    (void)WaitMode;
    (void)Alertable;
    CheckMayBlock("KeDelayExecutionThread");
    if (Interval == nullptr || Interval->QuadPart > 0) {
        Verifier::Fail("KeDelayExecutionThread: only relative intervals are simulated");
        return STATUS_INVALID_PARAMETER;
    }
    NoteDelay(-Interval->QuadPart);
    return STATUS_SUCCESS;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    // Documented contract: <= DISPATCH_LEVEL when Wait is FALSE.
    (void)Increment;
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    if (Wait) {
        Verifier::Fail("KeSetEvent: Wait TRUE is not simulated");
    }
    if (Event == nullptr || Event->Sim == nullptr) {
        Verifier::Fail("KeSetEvent: not an initialised event");
        return 0;
    }
    SimDispatcherEventImpl* impl = ImplOf(Event);
    std::lock_guard<std::mutex> guard(impl->lock);
    LONG previous = impl->signaled ? 1 : 0;
    impl->signaled = true;
    impl->sets++;
    return previous;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation)
{
    // Documented contract: PASSIVE_LEVEL; a handle of another type gives
    // STATUS_OBJECT_TYPE_MISMATCH, an unknown one STATUS_INVALID_HANDLE.
    (void)DesiredAccess;
    (void)AccessMode;
    CheckIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = nullptr;
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = 0;
    }
    std::lock_guard<std::mutex> guard(E().lock);
    auto it = E().byHandle.find(reinterpret_cast<std::uintptr_t>(Handle));
    if (it == E().byHandle.end()) {
        return STATUS_INVALID_HANDLE;
    }
    if (ObjectType != g_eventType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    it->second->kernelReferences++;
    *Object = &it->second->event.kernel;
    return STATUS_SUCCESS;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
    if (Object == nullptr) {
        Verifier::Fail("ObfDereferenceObject: NULL object");
        return 0;
    }
    SimDispatcherEventImpl* impl = ImplOf(static_cast<PKEVENT>(Object));
    long left = --impl->kernelReferences;
    if (left < 0) {
        Verifier::Fail("ObfDereferenceObject: reference count of an event dropped below zero");
        impl->kernelReferences++;
        return 0;
    }
    return left;
}

namespace sim {
long KernelReferences(const ClientEvent& event)
{
    return ImplOf(event.KernelEvent())->kernelReferences.load();
}
} // namespace sim
