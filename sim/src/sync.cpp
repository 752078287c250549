// Spin locks, collections, memory objects, file-object accessors.
#include <algorithm>
#include <cstring>

#include "objects.h"

namespace sim {

void SpinLockObject::OnDispose()
{
    if (owner.load() != std::thread::id()) {
        Verifier::Fail("WDFSPINLOCK deleted while it is held");
    }
}

void CollectionObject::OnDispose()
{
    // A collection that goes drops the references it holds on its items.
    std::vector<Object*> left;
    {
        std::lock_guard<std::mutex> guard(lock);
        left.swap(items);
        count = 0;
    }
    for (Object* item : left) {
        ReleaseReference(item, "collection deletion");
    }
}

} // namespace sim

using namespace sim;

// --- spin locks ------------------------------------------------------------------

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK *SpinLock)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfSpinLockCreate");
    if (SpinLock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *SpinLock = nullptr;
    SIM_FALLIBLE("WdfSpinLockCreate");
    auto* lock = new SpinLockObject(nullptr);
    lock->driverCreated = true;
    lock->createdBy = "WdfSpinLockCreate";
    Register(lock);
    NTSTATUS status = ApplyAttributes(lock, SpinLockAttributes, "WdfSpinLockCreate");
    if (!NT_SUCCESS(status)) {
        DeleteObject(lock);
        return status;
    }
    *SpinLock = reinterpret_cast<WDFSPINLOCK>(lock->Handle());
    return STATUS_SUCCESS;
}

void WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    // Documented contract: <= DISPATCH_LEVEL; raises to DISPATCH_LEVEL; not
    // recursive.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfSpinLockAcquire");
    auto* lock = As<SpinLockObject>(SpinLock, Type::SpinLock, "WdfSpinLockAcquire");
    if (lock == nullptr) {
        return;
    }
    if (lock->owner.load() == std::this_thread::get_id()) {
        Verifier::Fail("WdfSpinLockAcquire: lock acquired recursively (would deadlock)");
        return;
    }
    KIRQL previous = CurrentIrql();
    lock->mutex.lock();
    lock->owner.store(std::this_thread::get_id());
    lock->savedIrql = previous;
    SetIrql(DISPATCH_LEVEL);
    HeldSpinLocks().push_back(lock);
}

void WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    auto* lock = As<SpinLockObject>(SpinLock, Type::SpinLock, "WdfSpinLockRelease");
    if (lock == nullptr) {
        return;
    }
    if (lock->owner.load() != std::this_thread::get_id()) {
        Verifier::Fail("WdfSpinLockRelease: lock not held by this thread");
        return;
    }
    auto& held = HeldSpinLocks();
    if (held.empty() || held.back() != lock) {
        Verifier::Fail("WdfSpinLockRelease: spin locks released out of order");
    }
    held.erase(std::remove(held.begin(), held.end(), lock), held.end());
    KIRQL restore = lock->savedIrql;
    lock->owner.store(std::thread::id());
    lock->mutex.unlock();
    SetIrql(restore);
}

// --- collections ----------------------------------------------------------------------

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION *Collection)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfCollectionCreate");
    if (Collection == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Collection = nullptr;
    SIM_FALLIBLE("WdfCollectionCreate");
    auto* collection = new CollectionObject(nullptr);
    collection->driverCreated = true;
    collection->createdBy = "WdfCollectionCreate";
    Register(collection);
    NTSTATUS status = ApplyAttributes(collection, CollectionAttributes, "WdfCollectionCreate");
    if (!NT_SUCCESS(status)) {
        DeleteObject(collection);
        return status;
    }
    *Collection = reinterpret_cast<WDFCOLLECTION>(collection->Handle());
    return STATUS_SUCCESS;
}

ULONG WdfCollectionGetCount(WDFCOLLECTION Collection)
{
    // Readable at any time; the count is a snapshot.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfCollectionGetCount");
    auto* collection = As<CollectionObject>(Collection, Type::Collection, "WdfCollectionGetCount");
    return collection == nullptr ? 0 : collection->count.load();
}

NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object)
{
    // Appends and takes a reference on the object.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfCollectionAdd");
    auto* collection = As<CollectionObject>(Collection, Type::Collection, "WdfCollectionAdd");
    sim::Object* item = LookupAny(Object, "WdfCollectionAdd");
    if (collection == nullptr || item == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    SIM_FALLIBLE("WdfCollectionAdd");
    AddReference(item);
    std::lock_guard<std::mutex> guard(collection->lock);
    collection->items.push_back(item);
    collection->count = static_cast<ULONG>(collection->items.size());
    return STATUS_SUCCESS;
}

void WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfCollectionRemove");
    auto* collection = As<CollectionObject>(Collection, Type::Collection, "WdfCollectionRemove");
    sim::Object* item = LookupAny(Item, "WdfCollectionRemove", true);
    if (collection == nullptr || item == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(collection->lock);
        auto it = std::find(collection->items.begin(), collection->items.end(), item);
        if (it == collection->items.end()) {
            Verifier::Fail("WdfCollectionRemove: the object is not in the collection");
            return;
        }
        collection->items.erase(it);
        collection->count = static_cast<ULONG>(collection->items.size());
    }
    ReleaseReference(item, "WdfCollectionRemove");
}

void WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfCollectionRemoveItem");
    auto* collection = As<CollectionObject>(Collection, Type::Collection, "WdfCollectionRemoveItem");
    if (collection == nullptr) {
        return;
    }
    sim::Object* item;
    {
        std::lock_guard<std::mutex> guard(collection->lock);
        if (Index >= collection->items.size()) {
            Verifier::Fail("WdfCollectionRemoveItem: index out of range");
            return;
        }
        item = collection->items[Index];
        collection->items.erase(collection->items.begin() + Index);
        collection->count = static_cast<ULONG>(collection->items.size());
    }
    ReleaseReference(item, "WdfCollectionRemoveItem");
}

WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfCollectionGetItem");
    auto* collection = As<CollectionObject>(Collection, Type::Collection, "WdfCollectionGetItem");
    if (collection == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(collection->lock);
    return Index < collection->items.size() ? collection->items[Index]->Handle() : nullptr;
}

WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfCollectionGetFirstItem");
    auto* collection = As<CollectionObject>(Collection, Type::Collection, "WdfCollectionGetFirstItem");
    if (collection == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(collection->lock);
    return collection->items.empty() ? nullptr : collection->items.front()->Handle();
}

WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfCollectionGetLastItem");
    auto* collection = As<CollectionObject>(Collection, Type::Collection, "WdfCollectionGetLastItem");
    if (collection == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(collection->lock);
    return collection->items.empty() ? nullptr : collection->items.back()->Handle();
}

// --- memory --------------------------------------------------------------------------------

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize,
                         WDFMEMORY *Memory, PVOID *Buffer)
{
    // Documented contract: <= DISPATCH_LEVEL for non-paged pool, <= APC_LEVEL
    // for paged pool; a zero size is invalid.
    CheckIrqlAtMost(PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "WdfMemoryCreate");
    if (Memory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    if (BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    SIM_FALLIBLE("WdfMemoryCreate");
    void* block = AllocateTracked(BufferSize);
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* memory = new MemoryObject(nullptr);
    memory->driverCreated = true;
    memory->createdBy = "WdfMemoryCreate";
    memory->buffer = block;
    memory->size = BufferSize;
    memory->owned = true;
    memory->pool = PoolType;
    memory->tag = PoolTag;
    Register(memory);
    NTSTATUS status = ApplyAttributes(memory, Attributes, "WdfMemoryCreate");
    if (!NT_SUCCESS(status)) {
        DeleteObject(memory);
        return status;
    }
    *Memory = reinterpret_cast<WDFMEMORY>(memory->Handle());
    if (Buffer != nullptr) {
        *Buffer = block;
    }
    return STATUS_SUCCESS;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t *BufferSize)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfMemoryGetBuffer");
    auto* memory = As<MemoryObject>(Memory, Type::Memory, "WdfMemoryGetBuffer");
    if (memory == nullptr) {
        return nullptr;
    }
    if (BufferSize != nullptr) {
        *BufferSize = memory->size;
    }
    return memory->buffer;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                 size_t NumBytesToCopyFrom)
{
    // Documented contract: the copy must fit from the offset to the memory's
    // end (STATUS_BUFFER_TOO_SMALL otherwise); an offset past the end is
    // STATUS_INVALID_BUFFER_SIZE. A copy of no bytes copies nothing.
    auto* memory = As<MemoryObject>(DestinationMemory, Type::Memory, "WdfMemoryCopyFromBuffer");
    if (memory == nullptr || (Buffer == nullptr && NumBytesToCopyFrom != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    CheckIrqlAtMost(memory->pool == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "WdfMemoryCopyFromBuffer");
    if (DestinationOffset > memory->size) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (NumBytesToCopyFrom > memory->size - DestinationOffset) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (NumBytesToCopyFrom != 0) {
        std::memcpy(static_cast<UCHAR*>(memory->buffer) + DestinationOffset, Buffer, NumBytesToCopyFrom);
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo)
{
    auto* memory = As<MemoryObject>(SourceMemory, Type::Memory, "WdfMemoryCopyToBuffer");
    if (memory == nullptr || (Buffer == nullptr && NumBytesToCopyTo != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    CheckIrqlAtMost(memory->pool == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "WdfMemoryCopyToBuffer");
    if (SourceOffset > memory->size || NumBytesToCopyTo > memory->size - SourceOffset) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (NumBytesToCopyTo != 0) {
        std::memcpy(Buffer, static_cast<UCHAR*>(memory->buffer) + SourceOffset, NumBytesToCopyTo);
    }
    return STATUS_SUCCESS;
}

// --- file objects and targets --------------------------------------------------------------------

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfFileObjectGetDevice");
    auto* file = As<FileObjectObject>(FileObject, Type::FileObject, "WdfFileObjectGetDevice");
    return file == nullptr ? nullptr : reinterpret_cast<WDFDEVICE>(file->device->Handle());
}

PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfFileObjectGetFileName");
    auto* file = As<FileObjectObject>(FileObject, Type::FileObject, "WdfFileObjectGetFileName");
    if (file == nullptr || file->nameText.empty()) {
        return nullptr;
    }
    return &file->name;
}

WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfIoTargetGetDevice");
    sim::Object* target = LookupTarget(IoTarget, "WdfIoTargetGetDevice");
    if (target == nullptr) {
        return nullptr;
    }
    DeviceObject* device = DeviceOfTarget(target);
    return device == nullptr ? nullptr : reinterpret_cast<WDFDEVICE>(device->Handle());
}
