// ASimpleResource: shared and exclusive holds, recursion of the owner, readers waiting for a
// writer, pending writers, DISPATCH_LEVEL behaviour and shortage of table entries.

#include "base_test.h"

namespace {

// The counters of a resource as one consistent picture.
struct ResourceState {
    ULONG sharedCount;
    ULONG exclusiveDepth;
    ULONG pendingExclusive;
    HANDLE owner;
    ULONG tableEntries;
};

bool operator==(const ResourceState& left, const ResourceState& right)
{
    return left.sharedCount == right.sharedCount && left.exclusiveDepth == right.exclusiveDepth &&
           left.pendingExclusive == right.pendingExclusive && left.owner == right.owner &&
           left.tableEntries == right.tableEntries;
}

std::ostream& operator<<(std::ostream& out, const ResourceState& state)
{
    return out << "{shared " << state.sharedCount << ", depth " << state.exclusiveDepth << ", pending "
               << state.pendingExclusive << ", owner " << state.owner << ", entries " << state.tableEntries << "}";
}

constexpr HANDLE NoOwner = nullptr;

}  // namespace

class BaseResource : public BaseLibraryTest {
protected:
    void SetUp() override
    {
        BaseLibraryTest::SetUp();
        if (!HasFatalFailure()) {
            ASSERT_EQ(host.ASimpleResource_Init(&resource), STATUS_SUCCESS);
            initialised = true;
        }
    }
    void TearDown() override
    {
        if (initialised) {
            EXPECT_EQ(State(), Free()) << "the test left holds behind";
            host.ASimpleResource_Destroy(&resource);
        }
        BaseLibraryTest::TearDown();
    }

    // Reads the counters under the resource's and its table's locks, as other threads write them.
    ResourceState State()
    {
        ResourceState state{};
        KLOCK_QUEUE_HANDLE handle;
        host.ASpinLock_Acquire(&resource.stateLock, &handle);
        state.sharedCount = resource.sharedCount;
        state.exclusiveDepth = resource.exclusiveDepth;
        state.pendingExclusive = resource.pendingExclusive;
        host.ASpinLock_Release(&resource.stateLock, &handle);
        state.owner = __atomic_load_n(&resource.owner, __ATOMIC_SEQ_CST);
        host.ASpinLock_Acquire(&resource.threadTable->lock, &handle);
        state.tableEntries = resource.threadTable->entryCount;
        host.ASpinLock_Release(&resource.threadTable->lock, &handle);
        return state;
    }
    static ResourceState Free() { return ResourceState{0, 0, 0, NoOwner, 0}; }

    // Runs `body` on another thread at the given IRQL and waits for it.
    void OnOtherThread(KIRQL irql, const std::function<void()>& body)
    {
        ModelThread other([&] {
            RaisedIrql raised(irql);
            body();
        });
    }

    // Whether another thread at DISPATCH_LEVEL, where nothing waits, gets the resource.
    bool OtherThreadGetsShared()
    {
        bool got = false;
        OnOtherThread(DISPATCH_LEVEL, [&] {
            got = host.ASimpleResource_AcquireShared(&resource);
            if (got) {
                host.ASimpleResource_ReleaseShared(&resource);
            }
        });
        return got;
    }
    bool OtherThreadGetsExclusive()
    {
        bool got = false;
        OnOtherThread(DISPATCH_LEVEL, [&] {
            got = host.ASimpleResource_AcquireExclusive(&resource);
            if (got) {
                host.ASimpleResource_ReleaseExclusive(&resource);
            }
        });
        return got;
    }

    ASimpleResource resource{};
    bool initialised = false;
};

TEST_F(BaseResource, InitBuildsAThreadTableAndNullResourcesAreRefused)
{
    ASSERT_NE(resource.threadTable, nullptr);
    EXPECT_EQ(resource.threadTable->bucketCount, ResourceThreadTableBuckets);
    EXPECT_GE(resource.threadTable->entrySize, HashEntryPayloadOffset + ResourceThreadTablePayload);
    EXPECT_EQ(resource.gateMutex.mutex, &resource.gateMutex.inlineMutex);
    EXPECT_EQ(km::OutstandingBlocks(TagHshT), 1u);
    EXPECT_EQ(km::OutstandingBlocks(TagAmem), 0u);

    EXPECT_EQ(host.ASimpleResource_Init(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(host.ASimpleResource_AcquireShared(nullptr));
    EXPECT_FALSE(host.ASimpleResource_AcquireExclusive(nullptr));
    host.ASimpleResource_ReleaseShared(nullptr);
    host.ASimpleResource_ReleaseExclusive(nullptr);
    host.ASimpleResource_Destroy(nullptr);
}

TEST_F(BaseResource, EveryInitFailureLeavesNothingAllocated)
{
    // A resource in paged memory needs every allocation: its mutex block, the table, the entry
    // pool's chunk header and data area. Refuse each in turn.
    auto* paged = static_cast<ASimpleResource*>(ExAllocatePoolWithTag(PagedPool, sizeof(ASimpleResource), TagTest));
    const NTSTATUS expected[] = {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY};
    size_t blocksBefore = km::GetPoolStats().outstandingBlocks;
    for (uint64_t failing = 1; failing <= 3; ++failing) {
        km::FailNthAllocation(failing);
        EXPECT_EQ(host.ASimpleResource_Init(paged), expected[failing - 1]) << "allocation " << failing;
        km::ClearPoolFaults();
        EXPECT_EQ(km::GetPoolStats().outstandingBlocks, blocksBefore) << "allocation " << failing;
    }
    // A refused data area only shrinks the first chunk.
    km::FailNthAllocation(4);
    EXPECT_EQ(host.ASimpleResource_Init(paged), STATUS_SUCCESS);
    km::ClearPoolFaults();
    EXPECT_NE(paged->gateMutex.mutex, &paged->gateMutex.inlineMutex);
    host.ASimpleResource_Destroy(paged);
    ExFreePoolWithTag(paged, 0);
}

TEST_F(BaseResource, EachSharedHoldOfAThreadAddsAnEntry)
{
    HANDLE self = PsGetCurrentThreadId();
    ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
    ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
    EXPECT_EQ(State(), (ResourceState{2, 0, 0, NoOwner, 2}));
    PVOID entry = host.AHashTable_Lookup(resource.threadTable, reinterpret_cast<ULONGLONG>(self));
    ASSERT_NE(entry, nullptr);
    host.AHashTable_Release(resource.threadTable, entry);
    EXPECT_TRUE(OtherThreadGetsShared());
    EXPECT_FALSE(OtherThreadGetsExclusive()) << "readers hold it";

    host.ASimpleResource_ReleaseShared(&resource);
    EXPECT_EQ(State(), (ResourceState{1, 0, 0, NoOwner, 1}));
    host.ASimpleResource_ReleaseShared(&resource);
}

TEST_F(BaseResource, TheOwnerEntersAgainSharedAndExclusive)
{
    HANDLE self = PsGetCurrentThreadId();
    ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
    EXPECT_EQ(State(), (ResourceState{0, 1, 0, self, 0}));
    ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
    EXPECT_EQ(State(), (ResourceState{0, 2, 0, self, 0}));
    ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
    EXPECT_EQ(State(), (ResourceState{1, 2, 0, self, 1}));
    host.ASimpleResource_ReleaseShared(&resource);

    host.ASimpleResource_ReleaseExclusive(&resource);
    EXPECT_EQ(State(), (ResourceState{0, 1, 0, self, 0}));
    EXPECT_FALSE(OtherThreadGetsShared());
    EXPECT_FALSE(OtherThreadGetsExclusive()) << "gateMutex is still owned once";
    host.ASimpleResource_ReleaseExclusive(&resource);
    EXPECT_EQ(State(), Free());
    EXPECT_TRUE(OtherThreadGetsExclusive());
}

TEST_F(BaseResource, ReleaseExclusiveByAnotherThreadChangesNothing)
{
    HANDLE self = PsGetCurrentThreadId();
    ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
    OnOtherThread(PASSIVE_LEVEL, [&] { host.ASimpleResource_ReleaseExclusive(&resource); });
    EXPECT_EQ(State(), (ResourceState{0, 1, 0, self, 0}));
    EXPECT_FALSE(OtherThreadGetsShared());
    host.ASimpleResource_ReleaseExclusive(&resource);
}

TEST_F(BaseResource, AReaderWaitsUntilTheWritersLastRelease)
{
    ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
    ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));

    std::atomic<bool> triedAtDispatch{false};
    bool refusedAtDispatch = false;
    std::atomic<bool> acquired{false};
    ResourceState seenOnEntry{};
    KEVENT mayRelease;
    KeInitializeEvent(&mayRelease, NotificationEvent, FALSE);
    ModelThread reader([&] {
        {
            RaisedIrql dispatch(DISPATCH_LEVEL);
            refusedAtDispatch = !host.ASimpleResource_AcquireShared(&resource);
        }
        triedAtDispatch.store(true, std::memory_order_release);
        ASSERT_TRUE(refusedAtDispatch);
        ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
        seenOnEntry = State();
        acquired.store(true, std::memory_order_release);
        KeWaitForSingleObject(&mayRelease, Executive, KernelMode, FALSE, nullptr);
        host.ASimpleResource_ReleaseShared(&resource);
    });
    // The reader's DISPATCH_LEVEL attempt has returned: its next attempt is the blocking one.
    AwaitFlag(triedAtDispatch);
    ASSERT_TRUE(refusedAtDispatch);
    EXPECT_EQ(State().sharedCount, 0u) << "a refused reader counts nothing";
    host.ASimpleResource_ReleaseExclusive(&resource);
    EXPECT_FALSE(acquired.load()) << "one exclusive hold is left";
    host.ASimpleResource_ReleaseExclusive(&resource);

    AwaitFlag(acquired);
    EXPECT_EQ(seenOnEntry.exclusiveDepth, 0u) << "the reader got in only after the writer left";
    EXPECT_EQ(seenOnEntry.sharedCount, 1u);
    EXPECT_EQ(seenOnEntry.owner, NoOwner);
    KeSetEvent(&mayRelease, IO_NO_INCREMENT, FALSE);
    reader.Join();
}

TEST_F(BaseResource, APendingWriterAdmitsReadersAndIsGrantedWhenTheyLeave)
{
    ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
    std::atomic<bool> granted{false};
    KEVENT mayRelease;
    KeInitializeEvent(&mayRelease, NotificationEvent, FALSE);
    ModelThread writer([&] {
        ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
        granted.store(true, std::memory_order_release);
        KeWaitForSingleObject(&mayRelease, Executive, KernelMode, FALSE, nullptr);
        host.ASimpleResource_ReleaseExclusive(&resource);
    });
    while (State().pendingExclusive == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(State(), (ResourceState{1, 0, 1, NoOwner, 1}));

    // Readers are not held up by a writer that is only pending.
    EXPECT_TRUE(OtherThreadGetsShared());
    ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
    host.ASimpleResource_ReleaseShared(&resource);
    EXPECT_FALSE(granted.load());

    host.ASimpleResource_ReleaseShared(&resource);
    AwaitFlag(granted);
    EXPECT_EQ(State(), (ResourceState{0, 1, 0, writer.Id(), 0}));
    KeSetEvent(&mayRelease, IO_NO_INCREMENT, FALSE);
    writer.Join();
}

TEST_F(BaseResource, AWriterAtDispatchLevelGivesUpWhileReadersRemain)
{
    ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
    EXPECT_FALSE(OtherThreadGetsExclusive());
    EXPECT_EQ(State(), (ResourceState{1, 0, 0, NoOwner, 1})) << "the pending mark is gone";
    host.ASimpleResource_ReleaseShared(&resource);
    EXPECT_TRUE(OtherThreadGetsExclusive()) << "gateMutex was released when the writer gave up";

    // The owner that holds its own shared hold and asks again at DISPATCH_LEVEL: refused, and
    // its first exclusive hold is left as it was.
    HANDLE self = PsGetCurrentThreadId();
    ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
    ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
    {
        RaisedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_FALSE(host.ASimpleResource_AcquireExclusive(&resource));
    }
    EXPECT_EQ(State(), (ResourceState{1, 1, 0, self, 1}));
    host.ASimpleResource_ReleaseShared(&resource);
    host.ASimpleResource_ReleaseExclusive(&resource);
    EXPECT_TRUE(OtherThreadGetsExclusive()) << "every ownership of gateMutex was given back";
}

TEST_F(BaseResource, SharedHoldFailsWhenNoTableEntryCanBeHad)
{
    ULONG entriesPerChunk = ResourceThreadTableBuckets / 4;
    km::FailAllocationsWithTag(TagABPL);
    for (ULONG hold = 0; hold < entriesPerChunk; ++hold) {
        ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource)) << "hold " << hold;
    }
    EXPECT_FALSE(host.ASimpleResource_AcquireShared(&resource));
    km::ClearPoolFaults();
    EXPECT_EQ(State(), (ResourceState{entriesPerChunk, 0, 0, NoOwner, entriesPerChunk}));
    for (ULONG hold = 0; hold < entriesPerChunk; ++hold) {
        host.ASimpleResource_ReleaseShared(&resource);
    }
}

TEST_F(BaseResource, ReadersNeverSeeAWriterHalfway)
{
    constexpr int Rounds = 300;
    long value = 0;
    auto body = [&] {
        for (int round = 0; round < Rounds; ++round) {
            ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
            value = value + 1;
            ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));  // the owner reads inside
            ASSERT_EQ(value % 2, 1);
            host.ASimpleResource_ReleaseShared(&resource);
            value = value + 1;
            host.ASimpleResource_ReleaseExclusive(&resource);
            for (int read = 0; read < 3; ++read) {
                ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
                ASSERT_EQ(value % 2, 0);
                host.ASimpleResource_ReleaseShared(&resource);
            }
        }
    };
    {
        ModelThread first(body);
        ModelThread second(body);
    }
    EXPECT_EQ(value, 4 * Rounds);
}
