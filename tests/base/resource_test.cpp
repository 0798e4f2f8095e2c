// ASimpleResource: shared and exclusive holds, recursion of the owner, readers waiting for a
// writer, pending writers, DISPATCH_LEVEL behaviour and shortage of memory.
#include <tuple>

#include "base_test.h"

namespace {

// The counters of a resource as one consistent picture:
// {sharedCount, exclusiveDepth, pendingExclusive, owner, records of shared holders (slots in use
// and thread table entries)}.
using ResourceState = std::tuple<ULONG, ULONG, ULONG, HANDLE, ULONG>;

constexpr HANDLE NoOwner = nullptr;
const ResourceState Free{0, 0, 0, NoOwner, 0};

}  // namespace

class BaseResource : public BaseLibraryTest {
protected:
    void SetUp() override
    {
        BaseLibraryTest::SetUp();
        if (!HasFatalFailure()) {
            ASSERT_EQ(host.ASimpleResource_Init(&resource), STATUS_SUCCESS);
        }
    }
    void TearDown() override
    {
        if (resource.threadTable != nullptr) {
            EXPECT_EQ(State(), Free) << "the test left holds behind";
            host.ASimpleResource_Destroy(&resource);
        }
        BaseLibraryTest::TearDown();
    }

    // Reads the counters under the resource's and its table's locks, as other threads write them.
    ResourceState State()
    {
        KLOCK_QUEUE_HANDLE handle;
        host.ASpinLock_Acquire(&resource.stateLock, &handle);
        ResourceState state{resource.sharedCount, resource.exclusiveDepth, resource.pendingExclusive, nullptr, 0};
        for (HANDLE holder : resource.inlineHolders) {
            std::get<4>(state) += holder != nullptr ? 1 : 0;
        }
        host.ASpinLock_Release(&resource.stateLock, &handle);
        std::get<3>(state) = __atomic_load_n(&resource.owner, __ATOMIC_SEQ_CST);
        host.ASpinLock_Acquire(&resource.threadTable->lock, &handle);
        std::get<4>(state) += resource.threadTable->entryCount;
        host.ASpinLock_Release(&resource.threadTable->lock, &handle);
        return state;
    }

    // Whether another thread at DISPATCH_LEVEL, where nothing waits, gets the resource.
    bool OtherThreadGets(bool exclusive)
    {
        bool got = false;
        ModelThread other([&] {
            RaisedIrql dispatch(DISPATCH_LEVEL);
            got = exclusive ? host.ASimpleResource_AcquireExclusive(&resource)
                            : host.ASimpleResource_AcquireShared(&resource);
            if (got) {
                exclusive ? host.ASimpleResource_ReleaseExclusive(&resource)
                          : host.ASimpleResource_ReleaseShared(&resource);
            }
        });
        other.Join();
        return got;
    }

    ASimpleResource resource{};
};

TEST_F(BaseResource, EveryInitFailureLeavesNothingAllocated)
{
    // A resource in paged memory needs every allocation: its mutex block, the table, the entry
    // pool's chunk header and data area. Refuse each of the first three in turn; a block left
    // behind fails the model's leak check.
    auto* paged = NewPaged<ASimpleResource>();
    const NTSTATUS expected[] = {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY};
    for (uint64_t failing = 1; failing <= 3; ++failing) {
        km::FailNthAllocation(failing);
        EXPECT_EQ(host.ASimpleResource_Init(paged), expected[failing - 1]) << "allocation " << failing;
        km::ClearPoolFaults();
    }
    ExFreePoolWithTag(paged, 0);
}

TEST_F(BaseResource, OnlyTheOwnerEntersAgainAndReleases)
{
    HANDLE self = PsGetCurrentThreadId();
    ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
    ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
    ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
    EXPECT_EQ(State(), (ResourceState{1, 2, 0, self, 1}));
    {
        // Asking again with its own shared hold outstanding, where it cannot wait: refused.
        RaisedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_FALSE(host.ASimpleResource_AcquireExclusive(&resource));
    }
    host.ASimpleResource_ReleaseShared(&resource);
    ModelThread([&] { host.ASimpleResource_ReleaseExclusive(&resource); }).Join();
    EXPECT_EQ(State(), (ResourceState{0, 2, 0, self, 0})) << "another thread's release changes nothing";

    host.ASimpleResource_ReleaseExclusive(&resource);
    EXPECT_EQ(State(), (ResourceState{0, 1, 0, self, 0}));
    EXPECT_FALSE(OtherThreadGets(false));
    EXPECT_FALSE(OtherThreadGets(true)) << "gateMutex is still owned once";
    host.ASimpleResource_ReleaseExclusive(&resource);
    EXPECT_TRUE(OtherThreadGets(true)) << "every ownership of gateMutex was given back";
}

// A shared release from a thread that holds nothing would count down another reader's hold and
// let a writer in beside it: the model stops it, as Verifier stops a release of a resource not held.
TEST_F(BaseResource, ASharedReleaseByAThreadHoldingNothingStops)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
    EXPECT_DEATH(ModelThread([&] { host.ASimpleResource_ReleaseShared(&resource); }).Join(),
                 "STOP 0x000000E3 .*RESOURCE_NOT_OWNED");
    host.ASimpleResource_ReleaseShared(&resource);
}

// A reader waits for the writer's last release; a writer that then waits for the reader's hold
// holds up no other reader, nor the reader asking again, and is granted once the reader leaves.
TEST_F(BaseResource, ReadersAndWritersWaitOnlyForTheHoldsInTheirWay)
{
    ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
    ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));

    std::atomic<bool> acquired{false};
    ResourceState seenOnEntry{};
    KEVENT mayRelease;
    KeInitializeEvent(&mayRelease, NotificationEvent, FALSE);
    ModelThread reader([&] {
        ASSERT_TRUE(host.ASimpleResource_AcquireShared(&resource));
        seenOnEntry = State();
        acquired.store(true, std::memory_order_release);
        KeWaitForSingleObject(&mayRelease, Executive, KernelMode, FALSE, nullptr);
        EXPECT_TRUE(host.ASimpleResource_AcquireShared(&resource)) << "a reader asking again passes a pending writer";
        host.ASimpleResource_ReleaseShared(&resource);
        host.ASimpleResource_ReleaseShared(&resource);
    });
    host.ASimpleResource_ReleaseExclusive(&resource);
    EXPECT_FALSE(acquired.load()) << "one exclusive hold is left";
    host.ASimpleResource_ReleaseExclusive(&resource);
    while (!acquired.load(std::memory_order_acquire)) {  // set by the reader's progress, not a timer
        std::this_thread::yield();
    }
    EXPECT_EQ(seenOnEntry, (ResourceState{1, 0, 0, NoOwner, 1})) << "in only after the writer left";

    std::atomic<bool> granted{false};
    ResourceState seenByWriter{};
    ModelThread writer([&] {
        ASSERT_TRUE(host.ASimpleResource_AcquireExclusive(&resource));
        seenByWriter = State();
        granted.store(true, std::memory_order_release);
        host.ASimpleResource_ReleaseExclusive(&resource);
    });
    while (std::get<2>(State()) == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(State(), (ResourceState{1, 0, 1, NoOwner, 1}));
    EXPECT_TRUE(OtherThreadGets(false)) << "a writer that is only pending holds up no reader";
    EXPECT_FALSE(granted.load());
    HANDLE writerId = writer.Id();
    KeSetEvent(&mayRelease, IO_NO_INCREMENT, FALSE);
    writer.Join();
    EXPECT_EQ(seenByWriter, (ResourceState{0, 1, 0, writerId, 0}));
}
