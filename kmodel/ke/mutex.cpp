// Mutexes (mutants). SignalState is 1 when the mutex is free and 1 - n while its owner holds it n
// times; the owner is recorded in OwnerThread and the mutex is linked into the owner's list so
// that a thread that ends owning it abandons it. Acquisition is a satisfied wait (wait.cpp).
#include "internal/ke.h"
#include "internal/verifier.h"
#include "internal/trap.h"

extern "C" void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    UNREFERENCED_PARAMETER(Level);
    KmLockOrderForget(Mutex, sizeof(*Mutex));
    Mutex->Header.Lock = 0;
    Mutex->Header.Type = MutantObject;
    Mutex->Header.Size = (UCHAR)(sizeof(KMUTEX) / sizeof(LONG));
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
    Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = nullptr;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

NTSTATUS KmAcquireMutantLocked(PKMUTANT mutant, km::Thread* thread)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (mutant->Header.SignalState > 0) {
        mutant->OwnerThread = thread;
        InsertTailList(&thread->MutantListHead, &mutant->MutantListEntry);
        if (mutant->Abandoned) {
            mutant->Abandoned = FALSE;
            status = STATUS_ABANDONED_WAIT_0;
        }
    }
    mutant->Header.SignalState -= 1;
    return status;
}

void KmAbandonMutexesLocked(km::Thread* thread)
{
    bool freed = false;
    while (!IsListEmpty(&thread->MutantListHead)) {
        PKMUTANT mutant = CONTAINING_RECORD(RemoveHeadList(&thread->MutantListHead), KMUTANT, MutantListEntry);
        mutant->OwnerThread = nullptr;
        mutant->Header.SignalState = 1;
        mutant->Abandoned = TRUE;
        freed = true;
    }
    if (freed) {
        KmGetDispatcher().Changed.notify_all();
    }
}

// Releases one hold of the mutex; the last release frees it for a waiter. Only the owner may
// release. Answers the previous state. Wait is accepted and has no effect here.
extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    KmTrapPoint("KeReleaseMutex", Mutex);
    UNREFERENCED_PARAMETER(Wait);
    km::Thread* thread = KmCurrentThread();
    if (thread->Irql > DISPATCH_LEVEL) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, thread->Irql, DISPATCH_LEVEL, (ULONG_PTR)Mutex, 0,
                   "KeReleaseMutex at IRQL %u", thread->Irql);
    }
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    if (Mutex->OwnerThread != thread) {
        ULONG owner = Mutex->OwnerThread == nullptr ? 0 : KmIdNumber(Mutex->OwnerThread->UniqueThreadId);
        KmBugCheck(THREAD_NOT_MUTEX_OWNER, (ULONG_PTR)thread, (ULONG_PTR)Mutex, owner, 0,
                   "KeReleaseMutex of mutex %p by thread %u, which does not own it (owner: %s %u)", (void*)Mutex,
                   KmIdNumber(thread->UniqueThreadId), owner == 0 ? "none" : "thread", owner);
    }
    LONG previous = Mutex->Header.SignalState;
    Mutex->Header.SignalState += 1;
    KmLockOrderReleased(Mutex);
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        RemoveEntryList(&Mutex->MutantListEntry);
        KmGetDispatcher().Changed.notify_all();
    }
    return previous;
}

extern "C" LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    return Mutex->Header.SignalState;
}
