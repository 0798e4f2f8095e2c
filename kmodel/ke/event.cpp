// Events. A notification event stays signalled until it is reset and releases every waiter; a
// synchronization event releases one waiter and resets itself as that wait is satisfied.
#include "internal/ke.h"
#include "internal/verifier.h"
#include "internal/trap.h"

namespace {

// Events may be signalled and reset at IRQL <= DISPATCH_LEVEL.
void KmpCheckEventIrql(const char* routine)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql > DISPATCH_LEVEL) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, DISPATCH_LEVEL, 0, 0, "%s at IRQL %u", routine, irql);
    }
}

}  // namespace

extern "C" void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Lock = 0;
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Size = (UCHAR)(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

// Signals the event and answers its previous state. Wait is accepted and has no effect here.
extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    KmTrapPoint("KeSetEvent", Event);
    KmpCheckEventIrql("KeSetEvent");
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    LONG previous = Event->Header.SignalState;
    if (previous == 0) {
        KmSignalObjectLocked(&Event->Header);
    }
    return previous;
}

extern "C" LONG KeResetEvent(PRKEVENT Event)
{
    KmpCheckEventIrql("KeResetEvent");
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" void KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

extern "C" LONG KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    return Event->Header.SignalState;
}
