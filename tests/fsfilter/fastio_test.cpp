// The 24 fast I/O entries of the forwarding rule, one parameterised test each (with the device swap
// of FastIoQueryOpen), and the acquire/release pairs, the NtCreateSection pair's included: a host
// filter device on a device of the model's lower driver, both tables recorders; the module
// registered through the command path.
#include <cstring>
#include <functional>

#include "fsfilter/fsfilter_test.h"

namespace {

struct EntryCase {
    const char* label;
    km::FastIoMember member;
    int64_t (*invoke)(const FAST_IO_DISPATCH* table, const FastIoArguments& sent);
};
#define FASTIO_ENTRY_CASE(field, member)         \
    EntryCase{#member, km::FastIoMember::member, \
              [](const FAST_IO_DISPATCH* table, const FastIoArguments& sent) { return Invoke(table->field, sent); }},
const EntryCase ForwardingEntries[] = {FASTIO_FORWARDING_MEMBERS(FASTIO_ENTRY_CASE)};
const EntryCase AllEntries[] = {FASTIO_ALL_MEMBERS(FASTIO_ENTRY_CASE)};

class HostFastIoTest : public FsFilterTest {
protected:
    void SetUp() override
    {
        FsFilterTest::SetUp();
        km::ModelDriver()->FastIoDispatch = &lowerTable;
        // The file's storage -(VPB)-> volume <- lower <- filter, for the NtCreateSection pair.
        PDEVICE_OBJECT volume = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
        lower = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
        PDEVICE_OBJECT attachedTo = nullptr;
        ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(lower, volume, &attachedTo), STATUS_SUCCESS);
        filter = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, lower);
        storage = km::CreateModelDevice({FILE_DEVICE_DISK});
        vpb.DeviceObject = volume;
        storage->Vpb = &vpb;
        file.DeviceObject = storage;
        irp.Tail.Overlay.CurrentStackLocation = &irpStack;
    }
    void TearDown() override
    {
        km::ModelDriver()->FastIoDispatch = nullptr;
        FsFilterTest::TearDown();
    }

    // Runs the acquire, then `between`, then the release through the host's table: who served
    // each, in order. Each call arrives as sent, the acquire first, the gate held for the module's.
    std::vector<FastIoSide> Pair(km::FastIoMember acquire, km::FastIoMember release,
                                 const std::function<void()>& between)
    {
        Recorded.seen.clear();
        Call(acquire);
        between();
        Call(release);
        std::vector<FastIoSide> sides;
        km::FastIoMember expected = acquire;
        for (const FastIoSeen& seen : Recorded.seen) {
            EXPECT_TRUE(seen.asSent);
            EXPECT_EQ(seen.inFlight, seen.side == FastIoSide::Module ? 1 : 0);
            EXPECT_EQ(seen.member, expected);
            expected = release;
            sides.push_back(seen.side);
        }
        // The gate between fast I/O calls has no other trace without a loaded module: read it.
        EXPECT_EQ(globals->ModuleHost.DispatchInFlight, 0);
        return sides;
    }
    void Call(km::FastIoMember member)
    {
        for (const EntryCase& entry : AllEntries) {
            if (entry.member == member) {
                entry.invoke(loaded.driver->FastIoDispatch, FastIoArguments{filter, &irp, &file});
            }
        }
    }
    using Sides = std::vector<FastIoSide>;

    FAST_IO_DISPATCH lowerTable = RecorderTable<FastIoSide::Lower>();
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    PDEVICE_OBJECT storage = nullptr;
    VPB vpb{};
    FILE_OBJECT file{};
    IRP irp{};  // FastIoQueryOpen's; only its current stack location is used
    IO_STACK_LOCATION irpStack{};
};

class HostFastIoEntryTest : public HostFastIoTest, public ::testing::WithParamInterface<EntryCase> {
protected:
    // Calls the entry through the host's driver object, as the I/O manager does: who served it.
    void ExpectCall(PDEVICE_OBJECT through, const char* label, FastIoSide side, PDEVICE_OBJECT device)
    {
        SCOPED_TRACE(label);
        Recorded.seen.clear();
        irpStack.DeviceObject = nullptr;
        const EntryCase& entry = GetParam();
        bool status = entry.member == km::FastIoMember::AcquireForModWrite ||
                      entry.member >= km::FastIoMember::ReleaseForModWrite;  // the four NTSTATUS members
        int64_t result = entry.invoke(loaded.driver->FastIoDispatch, FastIoArguments{through, &irp});
        // The gate between fast I/O calls has no other trace without a loaded module: read it.
        EXPECT_EQ(globals->ModuleHost.DispatchInFlight, 0);
        if (device == nullptr) {  // not handled
            EXPECT_TRUE(Recorded.seen.empty());
            EXPECT_EQ(result, status ? STATUS_NOT_IMPLEMENTED : FALSE);
            return;
        }
        ASSERT_EQ(Recorded.seen.size(), 1u);
        const FastIoSeen& seen = Recorded.seen[0];
        EXPECT_EQ(seen.side, side);
        EXPECT_EQ(seen.member, entry.member);
        EXPECT_EQ(seen.devices, std::vector<PDEVICE_OBJECT>{device});
        EXPECT_TRUE(seen.asSent);
        EXPECT_EQ(seen.inFlight, side == FastIoSide::Module ? 1 : 0);
        EXPECT_EQ(result, HandledResult(status, entry.member));
        if (entry.member == km::FastIoMember::QueryOpen) {
            // The lower driver finds its own device in the IRP's stack, and the host's is put back;
            // the module's call sees the stack as it was.
            EXPECT_EQ(seen.stackDevice, side == FastIoSide::Lower ? device : nullptr);
            EXPECT_EQ(irpStack.DeviceObject, side == FastIoSide::Lower ? through : nullptr);
        }
    }
};

TEST_P(HostFastIoEntryTest, FastIoEntryForwardsByLinkStateAndLowerTable)
{
    const km::FastIoMember member = GetParam().member;
    ExpectCall(filter, "unlinked", FastIoSide::Lower, lower);
    Register(&moduleTable, true);
    ExpectCall(filter, "linked", FastIoSide::Module, filter);
    SetLinkState(LinkStateUnloading);
    ExpectCall(filter, "unloading", FastIoSide::Lower, lower);
    SetLinkState(LinkStateUnlinked);  // SetLink 1 does not link during an unload
    ClearMember(&moduleTable, member);
    Register(&moduleTable, true);
    ExpectCall(filter, "linked, the module lacks the member", FastIoSide::Lower, lower);
    Register(nullptr, true);
    ExpectCall(filter, "linked, no module table", FastIoSide::Lower, lower);
    moduleTable = RecorderTable<FastIoSide::Module>();
    Register(&moduleTable, true);
    ASSERT_TRUE(Accepted(module->WithdrawEntryPoints()));
    ExpectCall(filter, "linked, entry points withdrawn", FastIoSide::Lower, lower);

    // Not handled: no device, the control device, another driver's device, a host device attached
    // to nothing, a host device of a type the host does not filter.
    Register(&moduleTable, true);
    for (PDEVICE_OBJECT device :
         {PDEVICE_OBJECT(nullptr), ControlDevice(), lower, CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM),
          CreateHostDevice(FILE_DEVICE_DISK, km::CreateModelDevice({FILE_DEVICE_DISK}))}) {
        ExpectCall(device, "not a filtering host device", FastIoSide::Module, nullptr);
    }

    // A table serves a member only when its declared size holds the whole member: the module's
    // table and the lower driver's alike.
    const ULONG endingInside = km::FastIoMemberOffset(member) + sizeof(void*) - 1;
    moduleTable.SizeOfFastIoDispatch = endingInside;
    ExpectCall(filter, "the module's table ends inside the member", FastIoSide::Lower, lower);
    module->SetLink(HOST_LINK_OFF);
    lowerTable.SizeOfFastIoDispatch = endingInside;
    ExpectCall(filter, "the lower table ends inside the member", FastIoSide::Lower, nullptr);
    lowerTable.SizeOfFastIoDispatch += 1;
    ExpectCall(filter, "the lower table holds the member", FastIoSide::Lower, lower);
    ClearMember(&lowerTable, member);
    ExpectCall(filter, "lower member null", FastIoSide::Lower, nullptr);
    km::ModelDriver()->FastIoDispatch = nullptr;
    ExpectCall(filter, "no lower table", FastIoSide::Lower, nullptr);
}

INSTANTIATE_TEST_SUITE_P(HostFastIoEntries, HostFastIoEntryTest, ::testing::ValuesIn(ForwardingEntries),
                         [](const ::testing::TestParamInfo<EntryCase>& entry) { return entry.param.label; });

// The acquire/release pairs: the release goes to whoever served the acquire, whatever the link did
// in between, and a module with only half of a pair does not serve it.
struct PairCase {
    const char* label;
    km::FastIoMember acquire;
    km::FastIoMember release;
    uintptr_t chain;  // the MDL chain the release names (its made-up argument), 0 for the lock pairs
};
const PairCase Pairs[] = {
    {"ModWrite", km::FastIoMember::AcquireForModWrite, km::FastIoMember::ReleaseForModWrite, 0},
    {"CcFlush", km::FastIoMember::AcquireForCcFlush, km::FastIoMember::ReleaseForCcFlush, 0},
    {"MdlRead", km::FastIoMember::MdlRead, km::FastIoMember::MdlReadComplete, 0x10100},
    {"MdlWrite", km::FastIoMember::PrepareMdlWrite, km::FastIoMember::MdlWriteComplete, 0x10200},
    {"NtCreateSection", km::FastIoMember::AcquireFileForNtCreateSection,
     km::FastIoMember::ReleaseFileForNtCreateSection, 0},
};

class HostFastIoPairTest : public HostFastIoTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(HostFastIoPairTest, FastIoPairReleaseGoesWhereItsAcquireWent)
{
    const PairCase& c = GetParam();
    MdlChainSlot = reinterpret_cast<struct _MDL*>(c.chain);
    EXPECT_EQ(Pair(c.acquire, c.release, [&] { Register(&moduleTable, true); }), Sides(2, FastIoSide::Lower));
    EXPECT_EQ(Pair(c.acquire, c.release, [&] { module->SetLink(HOST_LINK_OFF); }), Sides(2, FastIoSide::Module));
    ClearMember(&moduleTable, c.release);
    Register(&moduleTable, true);
    EXPECT_EQ(Pair(c.acquire, c.release, [] {}), Sides(2, FastIoSide::Lower)) << "the module has only the acquire";
}

INSTANTIATE_TEST_SUITE_P(HostFastIoPairs, HostFastIoPairTest, ::testing::ValuesIn(Pairs),
                         [](const ::testing::TestParamInfo<PairCase>& pair) { return pair.param.label; });

// The NtCreateSection pair carries no device object: the host looks upward from the volume device
// named by the file's VPB (past the lower device) and calls at most one routine, the module's
// while linked (never the lower driver's then), else the lower driver's.
TEST_F(HostFastIoTest, FastIoSectionPairFindsTheHostDeviceAboveTheVolume)
{
    using km::FastIoMember;
    auto pair = [&] {
        return Pair(FastIoMember::AcquireFileForNtCreateSection, FastIoMember::ReleaseFileForNtCreateSection, [] {});
    };
    // Unlinked and linked: the pair tests' NtCreateSection row.
    Register(&moduleTable, true);
    SetLinkState(LinkStateUnloading);
    EXPECT_EQ(pair(), Sides(2, FastIoSide::Lower));
    SetLinkState(LinkStateUnlinked);

    // Unlinked, the lower table must hold each whole member: 0x60 holds the acquire only.
    lowerTable.SizeOfFastIoDispatch = km::FastIoMemberOffset(FastIoMember::ReleaseFileForNtCreateSection) - 1;
    EXPECT_EQ(pair(), Sides{});
    lowerTable.SizeOfFastIoDispatch += 1;
    EXPECT_EQ(pair(), Sides{FastIoSide::Lower});

    // No volume named by the VPB, or no VPB: nothing.
    lowerTable.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
    vpb.DeviceObject = nullptr;
    EXPECT_EQ(pair(), Sides{});
    storage->Vpb = nullptr;
    EXPECT_EQ(pair(), Sides{});
}

}  // namespace
