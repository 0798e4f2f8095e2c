// Executive resources: who may acquire them while another thread holds them, recursion and the
// queries, inside the critical regions their holders must be in.
#include "../model_test_util.h"

namespace {

enum class Hold { None, Shared, Exclusive };

struct Contention {
    const char* name;
    Hold other;      // what another thread holds
    bool exclusive;  // what the test thread then asks for, without waiting
    bool granted;
};

void PrintTo(const Contention& contention, std::ostream* out) { *out << contention.name; }

class ResourceContentionTest : public KernelTest, public ::testing::WithParamInterface<Contention> {};

BOOLEAN Acquire(PERESOURCE resource, bool exclusive, BOOLEAN wait)
{
    return exclusive ? ExAcquireResourceExclusiveLite(resource, wait) : ExAcquireResourceSharedLite(resource, wait);
}

TEST_P(ResourceContentionTest, AcquiringWithoutWaitingAnswersWhetherItWasGranted)
{
    ERESOURCE resource;
    ASSERT_EQ(ExInitializeResourceLite(&resource), STATUS_SUCCESS);
    KEVENT held;
    KEVENT release;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    ModelThread other([&] {
        KeEnterCriticalRegion();
        if (GetParam().other != Hold::None) {
            Acquire(&resource, GetParam().other == Hold::Exclusive, TRUE);
        }
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        if (GetParam().other != Hold::None) {
            ExReleaseResourceLite(&resource);
        }
        KeLeaveCriticalRegion();
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    KeEnterCriticalRegion();
    BOOLEAN granted = Acquire(&resource, GetParam().exclusive, FALSE);
    EXPECT_EQ(granted != FALSE, GetParam().granted);
    if (granted) {
        ExReleaseResourceLite(&resource);
    }
    KeLeaveCriticalRegion();
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    other.Join();
    EXPECT_EQ(ExDeleteResourceLite(&resource), STATUS_SUCCESS);
}

const Contention Contentions[] = {
    {"FreeShared", Hold::None, false, true},
    {"FreeExclusive", Hold::None, true, true},
    {"SharedBesideShared", Hold::Shared, false, true},
    {"ExclusiveBesideShared", Hold::Shared, true, false},
    {"SharedBesideExclusive", Hold::Exclusive, false, false},
    {"ExclusiveBesideExclusive", Hold::Exclusive, true, false},
};

INSTANTIATE_TEST_SUITE_P(, ResourceContentionTest, ::testing::ValuesIn(Contentions), ByName());

class ResourceTest : public KernelTest {};

// A sharer is no exclusive owner, and a waiting exclusive acquirer gets the resource when the
// sharer lets go. An exclusive owner's recursion is the routines module's (tests/host).
TEST_F(ResourceTest, ASharerIsNoOwnerAndAWaiterGetsItOnRelease)
{
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE));
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource), 1u);
    std::atomic<bool> owned{false};
    ModelThread writer([&] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&resource, TRUE);
        owned = true;
        ExReleaseResourceLite(&resource);
        KeLeaveCriticalRegion();
    });
    EXPECT_FALSE(owned.load());
    ExReleaseResourceLite(&resource);
    writer.Join();
    EXPECT_TRUE(owned.load());
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&resource);
}

}  // namespace
