// Lock holders: the spin lock's queued or plain mode as BaseInit settles it, where the mutex
// holders put their kernel object, recursion, time-outs, abandonment. The model's verifier checks
// every release against its acquisition.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base_test.h"

namespace {

constexpr KIRQL UntouchedIrql = 0x5A;

// Acquires a fresh lock at APC_LEVEL, with or without a queue handle, and tells whether it was
// queued: the previous IRQL went into the handle rather than into the holder.
bool AcquiresQueued(const HostImports& host, bool withHandle)
{
    RaisedIrql apc(APC_LEVEL);
    ASpinLock holder;
    holder.savedIrql = UntouchedIrql;
    EXPECT_TRUE(host.ASpinLock_Init(&holder));
    KLOCK_QUEUE_HANDLE handle;
    handle.OldIrql = UntouchedIrql;
    PKLOCK_QUEUE_HANDLE given = withHandle ? &handle : nullptr;
    host.ASpinLock_Acquire(&holder, given);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    bool queued = handle.OldIrql == APC_LEVEL;
    EXPECT_NE(queued, holder.savedIrql == APC_LEVEL) << "the previous IRQL is kept in exactly one place";
    host.ASpinLock_Release(&holder, given);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    return queued;
}

// Init puts the holder's object inline when the holder is non-paged, else in a non-paged "Amem"
// block that Free gives back; a refused block fails Init and leaves the holder zero.
template <typename Holder, typename Object>
void CheckPlacement(NTSTATUS (*init)(Holder*), void (*release)(Holder*))
{
    Holder onStack;
    ASSERT_EQ(init(&onStack), STATUS_SUCCESS);
    EXPECT_EQ(onStack.mutex, &onStack.inlineMutex);
    release(&onStack);

    Holder* paged = NewPaged<Holder>();
    ASSERT_EQ(init(paged), STATUS_SUCCESS);
    ExpectNonPagedBlock(paged->mutex, TagAmem, sizeof(Object));
    release(paged);  // a block left behind fails the model's leak check

    memset(static_cast<void*>(paged), 0xCC, sizeof(Holder));
    km::FailAllocationsWithTag(TagAmem);
    EXPECT_EQ(init(paged), STATUS_INSUFFICIENT_RESOURCES);
    km::ClearPoolFaults();
    const auto* bytes = reinterpret_cast<const unsigned char*>(paged);
    EXPECT_EQ(std::count(bytes, bytes + sizeof(Holder), 0), static_cast<long>(sizeof(Holder)));
    ExFreePoolWithTag(paged, 0);
}

}  // namespace

// A kernel that lacks the given exports at BaseInit; they come back before any lock is made, as
// the mode is chosen once. Lacking either queued routine means plain locks throughout.
using Exports = std::vector<std::string>;
class BaseSpinLockMode : public HostImageTest, public ::testing::WithParamInterface<Exports> {};

TEST_P(BaseSpinLockMode, IsSettledByBaseInitAndPlainWithoutAHandle)
{
    bool queued = true;
    for (const std::string& name : GetParam()) {
        km::RemoveExport(name.c_str());
        queued = queued && name.find("InStackQueued") == std::string::npos;
    }
    EXPECT_EQ(host.BaseInit(), STATUS_SUCCESS) << "a missing routine is not an error";
    km::RestoreExports();
    EXPECT_EQ(AcquiresQueued(host, true), queued);
    EXPECT_FALSE(AcquiresQueued(host, false));
}

INSTANTIATE_TEST_SUITE_P(Base, BaseSpinLockMode,
                         ::testing::Values(Exports{}, Exports{"KeAcquireInStackQueuedSpinLock"},
                                           Exports{"KeReleaseInStackQueuedSpinLock"}));

using BaseMutex = BaseLibraryTest;

// Both holders place their object by the holder's memory. The owner passes again and releases
// once per wait; another thread is refused while it is owned, gets the mutex once it is free, and
// owns it when its owner ended without releasing it.
TEST_F(BaseMutex, HoldersPlaceTheirObjectAndTheOwnerPassesAgainWhileOthersAreRefused)
{
    CheckPlacement<AMutex, KMUTEX>(host.AMutex_Init, host.AMutex_Free);
    CheckPlacement<AFastMutex, FAST_MUTEX>(host.AFastMutex_Init, host.AFastMutex_Free);
    auto* holder = NewPaged<AMutex>();  // its mutex is the separate block
    ASSERT_EQ(host.AMutex_Init(holder), STATUS_SUCCESS);
    auto otherThreadGetsIt = [&] {
        bool got = false;
        ModelThread other([&] {
            RaisedIrql raised(DISPATCH_LEVEL);
            got = host.AMutex_Wait(holder, 0);
            if (got) {
                host.AMutex_Release(holder);
            }
        });
        other.Join();
        return got;
    };

    ASSERT_TRUE(host.AMutex_Wait(holder, UnboundedWaitMs));
    EXPECT_TRUE(host.AMutex_Wait(holder, 0)) << "the owner passes at once";
    EXPECT_FALSE(otherThreadGetsIt());
    host.AMutex_Release(holder);
    EXPECT_FALSE(otherThreadGetsIt()) << "still owned once";
    host.AMutex_Release(holder);
    EXPECT_TRUE(otherThreadGetsIt());

    ModelThread quitter([&] { ASSERT_TRUE(host.AMutex_Wait(holder, UnboundedWaitMs)); });
    quitter.Join();
    EXPECT_TRUE(host.AMutex_Wait(holder, 0)) << "an abandoned mutex is owned all the same";
    host.AMutex_Release(holder);
    host.AMutex_Free(holder);
    ExFreePoolWithTag(holder, 0);
}

