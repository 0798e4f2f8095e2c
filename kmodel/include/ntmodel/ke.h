// Kernel executive core (Ke): IRQL, spin locks, dispatcher objects, waits, the performance
// counter and bug checks. Layouts are those of x64 Windows; the model keeps dispatcher state in
// the objects' own fields, as the kernel does.
#pragma once

#include "ntstatus.h"
#include "nttypes.h"

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
typedef struct _KPROCESS* PKPROCESS;

typedef struct _KSPIN_LOCK_QUEUE {
    struct _KSPIN_LOCK_QUEUE* volatile Next;
    PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
    KSPIN_LOCK_QUEUE LockQueue;
    KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;
static_assert(sizeof(KLOCK_QUEUE_HANDLE) == 24, "x64 layout");

typedef struct _DISPATCHER_HEADER {
    union {
        struct {
            UCHAR Type;
            UCHAR Signalling;
            UCHAR Size;
            UCHAR Reserved1;
        };
        volatile LONG Lock;
    };
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;
static_assert(sizeof(DISPATCHER_HEADER) == 24, "x64 layout");

// Dispatcher object types stored in DISPATCHER_HEADER.Type.
enum KOBJECTS : UCHAR {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    ThreadObject = 6,
    SemaphoreObject = 5,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
};

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef enum _KWAIT_REASON { Executive = 0, FreePage, PageIn, PoolAllocation, DelayExecution, Suspended, UserRequest, WrExecutive } KWAIT_REASON;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
static_assert(sizeof(KEVENT) == 24, "x64 layout");

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD* OwnerThread;
    union {
        UCHAR MutantFlags;
        UCHAR Abandoned;
    };
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;
static_assert(sizeof(KMUTEX) == 56, "x64 layout");
static_assert(offsetof(KMUTEX, OwnerThread) == 40, "x64 layout");

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

#define MAXIMUM_WAIT_OBJECTS 64

extern "C" {

// IRQL of the calling processor (in the model: of the calling thread).
NTSYSAPI KIRQL NTAPI KeGetCurrentIrql(void);
NTSYSAPI void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTSYSAPI void NTAPI KeLowerIrql(KIRQL NewIrql);
NTSYSAPI KIRQL NTAPI KeRaiseIrqlToDpcLevel(void);

// Spin locks.
NTSYSAPI void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTSYSAPI KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
NTSYSAPI void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTSYSAPI void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTSYSAPI void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
NTSYSAPI void FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
NTSYSAPI void FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);

// Events.
NTSYSAPI void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTSYSAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTSYSAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTSYSAPI void NTAPI KeClearEvent(PRKEVENT Event);
NTSYSAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);

// Mutexes (recursive for their owner; abandoned when the owning thread ends).
NTSYSAPI void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTSYSAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTSYSAPI LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

// Waits. Timeout: null waits without limit; negative is relative, positive absolute (100 ns
// units); zero polls. Waits of non-zero length are legal only below DISPATCH_LEVEL.
NTSYSAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                              BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSYSAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// Time.
NTSYSAPI LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
NTSYSAPI void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTSYSAPI ULONGLONG NTAPI KeQueryInterruptTime(void);

NTSYSAPI PKTHREAD NTAPI KeGetCurrentThread(void);

// Ends the system: prints the code, the four parameters and the model's reason, then aborts.
DECLSPEC_NORETURN NTSYSAPI void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                                   ULONG_PTR P4);
DECLSPEC_NORETURN NTSYSAPI void NTAPI KeBugCheck(ULONG BugCheckCode);

}  // extern "C"

// Bug check codes the model raises.
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000AUL
#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009UL
#define SPIN_LOCK_ALREADY_OWNED 0x0000000FUL
#define SPIN_LOCK_NOT_OWNED 0x00000010UL
#define THREAD_NOT_MUTEX_OWNER 0x00000011UL
#define MUTEX_LEVEL_NUMBER_VIOLATION 0x0000000DUL
#define BAD_POOL_CALLER 0x000000C2UL
#define BAD_POOL_HEADER 0x00000019UL
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL 0x000000D1UL
#define DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL 0x000000D5UL
#define RESOURCE_NOT_OWNED 0x000000E3UL
#define APC_INDEX_MISMATCH 0x00000001UL
#define WORKER_THREAD_RETURNED_AT_BAD_IRQL 0x000000E1UL
#define MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044UL
#define NO_MORE_IRP_STACK_LOCATIONS 0x00000035UL
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4UL
#define DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x000000C9UL
#define ATTEMPTED_SWITCH_FROM_DPC 0x000000B8UL
#define IRQL_GT_ZERO_AT_SYSTEM_SERVICE 0x0000004AUL
#define DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS 0x000000CBUL
#define INVALID_PROCESS_ATTACH_ATTEMPT 0x00000005UL
#define DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS 0x000000CEUL
#define REFERENCE_BY_POINTER 0x00000018UL
#define SYSTEM_THREAD_EXCEPTION_NOT_HANDLED 0x0000007EUL
#define KMODE_EXCEPTION_NOT_HANDLED 0x0000001EUL
#define CANCEL_STATE_IN_COMPLETED_IRP 0x00000048UL
#define TIMER_OR_DPC_INVALID 0x000000C7UL
#define MAXIMUM_WAIT_OBJECTS_EXCEEDED 0x0000000CUL

// ---- Semaphores, multiple waits, timers and DPCs ----------------------------------------------

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;
static_assert(sizeof(KSEMAPHORE) == 0x20, "x64 layout");

typedef struct _KDPC* PKDPC;
typedef struct _KDPC* PRKDPC;
typedef void(NTAPI KDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                      PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;
typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData;
} KDPC;
static_assert(sizeof(KDPC) == 0x40, "x64 layout");

typedef enum _TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 } TIMER_TYPE;
typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;
    LIST_ENTRY TimerListEntry;
    PKDPC Dpc;
    ULONG Processor;
    ULONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;
static_assert(sizeof(KTIMER) == 0x40, "x64 layout");

typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;
// A wait block; the model keeps its own, so the caller's array is only required, not used.
typedef struct _KWAIT_BLOCK {
    UCHAR Opaque[0x30];
} KWAIT_BLOCK, *PKWAIT_BLOCK;
#define THREAD_WAIT_OBJECTS 3

extern "C" {

// Semaphores: a wait takes one count; a release beyond Limit raises STATUS_SEMAPHORE_LIMIT_EXCEEDED.
NTSYSAPI void NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
NTSYSAPI LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
NTSYSAPI LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Waits for all or any of Count objects. WaitAny answers STATUS_WAIT_0 + the index of the object
// that satisfied it (STATUS_ABANDONED_WAIT_0 + index for an abandoned mutex); STATUS_TIMEOUT.
// More than THREAD_WAIT_OBJECTS objects need WaitBlockArray; more than MAXIMUM_WAIT_OBJECTS is
// MAXIMUM_WAIT_OBJECTS_EXCEEDED.
NTSYSAPI NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                 KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray);

// Timers expire in model time at DueTime (relative when negative), then every Period ms when
// Period is not zero; expiry signals the timer and queues its DPC. KeSetTimer(Ex) and
// KeCancelTimer answer whether the timer was set. A driver that unloads with a timer set or a DPC
// queued is TIMER_OR_DPC_INVALID.
NTSYSAPI void NTAPI KeInitializeTimer(PKTIMER Timer);
NTSYSAPI void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
NTSYSAPI BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTSYSAPI BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
NTSYSAPI BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
NTSYSAPI BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);

// DPCs run their routine at DISPATCH_LEVEL on a system thread; the routine must return there,
// holding no spin lock. KeInsertQueueDpc answers FALSE when the DPC is queued already.
NTSYSAPI void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
NTSYSAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
NTSYSAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);

}  // extern "C"
