// Executive resources: who may acquire them while another thread holds them, who gets them when
// that thread lets go, and the queries, inside the critical regions their holders must be in. An
// exclusive owner's recursion is the routines module's (tests/host).
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

// Acquiring without waiting answers whether it was granted; a refused acquirer that then waits
// gets the resource when the other thread lets go. Either way it holds one acquisition of the kind
// it asked for: a sharer is no exclusive owner.
TEST_P(ResourceContentionTest, GrantsWithoutWaitingOrWhenTheOtherThreadLetsGo)
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
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    if (!granted) {
        ASSERT_TRUE(Acquire(&resource, GetParam().exclusive, TRUE));
    }
    EXPECT_EQ(ExIsResourceAcquiredExclusiveLite(&resource) != FALSE, GetParam().exclusive);
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource), 1u);
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
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

}  // namespace
