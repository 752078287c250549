/*
 * Kernel types and routines used by the driver, for the user-mode stand-in.
 *
 * Declares only what the driver calls. Sizes follow the 64-bit Windows
 * kernel: LONG and ULONG are 32 bits, pointers and the _PTR types 64 bits.
 * Every routine here is implemented in sim/src; nothing is a silent stub.
 */
#pragma once

#if !defined(__x86_64__) && !defined(_M_X64) && !defined(__aarch64__)
#error "the stand-in models the 64-bit kernel only"
#endif

typedef __SIZE_TYPE__ size_t;

#define VOID void
typedef void *PVOID;
typedef const void *PCVOID;
typedef char CHAR;
typedef unsigned char UCHAR, *PUCHAR;
typedef short SHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int LONG, *PLONG;
typedef unsigned int ULONG, *PULONG;
typedef long long LONGLONG, *PLONGLONG;
typedef unsigned long long ULONGLONG, *PULONGLONG;
typedef long long LONG_PTR;
typedef unsigned long long ULONG_PTR, *PULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef unsigned char BOOLEAN, *PBOOLEAN;
typedef int BOOL;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR;
typedef const wchar_t *PCWSTR;
typedef const char *PCSTR;
typedef char *PSTR;
typedef void *HANDLE, *PHANDLE;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL, *PKIRQL;
typedef LONG KPRIORITY;
typedef ULONG ACCESS_MASK;
typedef CHAR KPROCESSOR_MODE;

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG is 32 bits");
static_assert(sizeof(PVOID) == 8 && sizeof(ULONG_PTR) == 8, "64-bit pointers");

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

#define IN
#define OUT
#define OPTIONAL

/* Source annotations are for the static analysers of a WDK build. */
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(size)
#define _Out_writes_bytes_(size)
#define _Use_decl_annotations_
#define _Must_inspect_result_
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)__builtin_offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PUCHAR)(address) - (ULONG_PTR)__builtin_offsetof(type, field)))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))

#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }

/* Code sections are a link-time matter on Windows; here the pragmas that name
   them are accepted and ignored, while PAGED_CODE() checks the IRQL. */
#define PAGED_CODE() SimPagedCodeCheck(__func__)
void SimPagedCodeCheck(const char *Function);

/* --- status values ------------------------------------------------------ */

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS                   ((NTSTATUS)0x00000000L)
#define STATUS_PENDING                   ((NTSTATUS)0x00000103L)
#define STATUS_TIMEOUT                   ((NTSTATUS)0x00000102L)
#define STATUS_NO_MORE_ENTRIES           ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL              ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED           ((NTSTATUS)0xC0000002L)
#define STATUS_INFO_LENGTH_MISMATCH      ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_HANDLE            ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER         ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE            ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST    ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED             ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL          ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH      ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_NOT_FOUND     ((NTSTATUS)0xC0000034L)
#define STATUS_INSUFFICIENT_RESOURCES    ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED      ((NTSTATUS)0xC000009DL)
#define STATUS_IO_TIMEOUT                ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED             ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_BUFFER_SIZE       ((NTSTATUS)0xC0000206L)
#define STATUS_CANCELLED                 ((NTSTATUS)0xC0000120L)
#define STATUS_DELETE_PENDING            ((NTSTATUS)0xC0000056L)
#define STATUS_DEVICE_DATA_ERROR         ((NTSTATUS)0xC000009CL)
#define STATUS_FILE_FORCED_CLOSED        ((NTSTATUS)0xC00000B6L)
#define STATUS_POWER_STATE_INVALID       ((NTSTATUS)0xC00002D3L)
#define STATUS_INVALID_DEVICE_STATE      ((NTSTATUS)0xC0000184L)

/* --- IRQL ---------------------------------------------------------------- */

#define PASSIVE_LEVEL  0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2

KIRQL KeGetCurrentIrql(void);

/* --- lists ---------------------------------------------------------------- */

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

inline void InitializeListHead(PLIST_ENTRY ListHead)
{
    ListHead->Flink = ListHead->Blink = ListHead;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead)
{
    return (BOOLEAN)(ListHead->Flink == ListHead);
}

inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = Entry->Flink;
    PLIST_ENTRY prev = Entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return (BOOLEAN)(next == prev);
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Flink;
    RemoveEntryList(entry);
    return entry;
}

inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY prev = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = prev;
    prev->Flink = Entry;
    ListHead->Blink = Entry;
}

inline void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = ListHead->Flink;
    Entry->Flink = next;
    Entry->Blink = ListHead;
    next->Blink = Entry;
    ListHead->Flink = Entry;
}

/* --- interlocked operations and ordered reads ------------------------------ */

inline LONG InterlockedIncrement(LONG volatile *Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

inline LONG InterlockedDecrement(LONG volatile *Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

inline LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

inline LONG InterlockedExchange(LONG volatile *Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

inline LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false,
                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

inline PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

inline PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange,
                                               PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false,
                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

inline LONG ReadAcquire(LONG const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

inline BOOLEAN ReadBooleanAcquire(BOOLEAN const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_SEQ_CST);
}

inline void WriteBooleanRelease(BOOLEAN volatile *Destination, BOOLEAN Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_SEQ_CST);
}

inline PVOID ReadPointerAcquire(PVOID const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

inline void WritePointerRelease(PVOID volatile *Destination, PVOID Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

/* A full barrier. A read-modify-write of one shared word orders every pair of
   barriers, which is at least what a fence does, and ThreadSanitizer
   understands it (it does not model fences). */
inline LONG SimMemoryBarrierWord;
#define KeMemoryBarrier() ((void)__atomic_fetch_add(&SimMemoryBarrierWord, 0, __ATOMIC_SEQ_CST))

/* --- memory ---------------------------------------------------------------- */

extern "C" void *memcpy(void *, const void *, size_t) noexcept;
extern "C" void *memset(void *, int, size_t) noexcept;
extern "C" void *memmove(void *, const void *, size_t) noexcept;

#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;

/* --- strings ---------------------------------------------------------------- */

typedef struct _UNICODE_STRING {
    USHORT Length;        /* bytes, without the terminator */
    USHORT MaximumLength; /* bytes */
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

/* --- GUIDs ------------------------------------------------------------------- */

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
#endif
typedef const GUID *LPCGUID;
typedef GUID *LPGUID;

#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" const GUID name
#endif

/* --- time ---------------------------------------------------------------------- */

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef enum _MODE { KernelMode = 0, UserMode = 1, MaximumMode } MODE;

/* Relative intervals are negative, in units of 100 ns. PASSIVE_LEVEL only, and
   never with a spin lock held. */
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);

/* --- events and object references ---------------------------------------------- */

struct SimDispatcherEvent;

typedef struct _KEVENT {
    struct SimDispatcherEvent *Sim;
} KEVENT, *PKEVENT, *PRKEVENT;

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

typedef struct _OBJECT_TYPE *POBJECT_TYPE;
extern POBJECT_TYPE *ExEventObjectType;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

/* --- control codes ------------------------------------------------------------- */

#define FILE_DEVICE_UNKNOWN 0x00000022
#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3
#define FILE_ANY_ACCESS   0
#define FILE_READ_ACCESS  0x0001
#define FILE_WRITE_ACCESS 0x0002

#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode) & 3))

#define KEY_READ 0x20019

/* --- driver object ------------------------------------------------------------- */

typedef struct _DRIVER_OBJECT {
    USHORT Type;
    USHORT Size;
    PVOID SimDriver; /* the framework's driver, once created */
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;
