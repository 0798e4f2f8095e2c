// The NtCreateSection pair carries no device object: the host looks upward from the volume device
// named by the file's VPB and calls at most one routine, the module's while linked (never the
// lower driver's then), else the lower driver's.
#include "fsfilter/fastio_recorder.h"
#include "fsfilter/fsfilter_test.h"

namespace {

using km::FastIoMember;

// storage -(VPB)-> volume <- other <- filter: two devices of the model's lower driver below the host.
class HostFastIoSectionTest : public FsFilterTest {
protected:
    void SetUp() override
    {
        FsFilterTest::SetUp();
        Recorded = FastIoLog{globals};
        Recorded.sent.file = &file;
        km::ModelDriver()->FastIoDispatch = &lowerTable;
        PDEVICE_OBJECT volume = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
        PDEVICE_OBJECT other = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
        PDEVICE_OBJECT attachedTo = nullptr;
        ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(other, volume, &attachedTo), STATUS_SUCCESS);
        CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, volume);
        storage = km::CreateModelDevice({FILE_DEVICE_DISK});
        vpb.DeviceObject = volume;
        storage->Vpb = &vpb;
        file.DeviceObject = storage;
        Register(&moduleTable, false);
    }
    void TearDown() override
    {
        storage->Vpb = nullptr;
        km::ModelDriver()->FastIoDispatch = nullptr;
        FsFilterTest::TearDown();
    }
    // Acquire, `between`, then release, through the host's table: the sides that served them (none:
    // empty).
    std::vector<FastIoSide> Pair(const std::function<void()>& between = [] {})
    {
        Recorded.seen.clear();
        loaded.driver->FastIoDispatch->AcquireFileForNtCreateSection(&file);
        between();
        loaded.driver->FastIoDispatch->ReleaseFileForNtCreateSection(&file);
        std::vector<FastIoSide> sides;
        FastIoMember expected = FastIoMember::AcquireFileForNtCreateSection;
        for (const FastIoSeen& seen : Recorded.seen) {
            EXPECT_TRUE(seen.asSent) << "the file object is passed on";
            EXPECT_EQ(seen.inFlight, seen.side == FastIoSide::Module ? 1 : 0);
            EXPECT_EQ(seen.member, expected);
            expected = FastIoMember::ReleaseFileForNtCreateSection;
            sides.push_back(seen.side);
        }
        // The gate between fast I/O calls has no other trace without a loaded module: read it.
        EXPECT_EQ(globals->ModuleHost.DispatchInFlight, 0);
        return sides;
    }
    using Sides = std::vector<FastIoSide>;

    FAST_IO_DISPATCH lowerTable = RecorderTable<FastIoSide::Lower>();
    FAST_IO_DISPATCH moduleTable = RecorderTable<FastIoSide::Module>();
    PDEVICE_OBJECT storage = nullptr;
    VPB vpb{};
    FILE_OBJECT file{};
};

TEST_F(HostFastIoSectionTest, FastIoSectionPairFindsTheHostDeviceAboveTheVolume)
{
    EXPECT_EQ(Pair(), Sides(2, FastIoSide::Lower));
    Register(&moduleTable, true);
    EXPECT_EQ(Pair(), Sides(2, FastIoSide::Module));
    SetLinkState(LinkStateUnloading);
    EXPECT_EQ(Pair(), Sides(2, FastIoSide::Lower));

    // The release goes to whoever took the acquire, whatever the link did in between.
    SetLinkState(LinkStateUnlinked);
    EXPECT_EQ(Pair([&] { Register(&moduleTable, true); }), Sides(2, FastIoSide::Lower));
    EXPECT_EQ(Pair([&] { module->SetLink(HOST_LINK_OFF); }), Sides(2, FastIoSide::Module));

    // Linked, a module without the release leaves the pair to the lower driver.
    ClearMember(&moduleTable, FastIoMember::ReleaseFileForNtCreateSection);
    Register(&moduleTable, true);
    EXPECT_EQ(Pair(), Sides(2, FastIoSide::Lower));

    // Unlinked, the lower table must hold each whole member: 0x60 holds the acquire only.
    module->SetLink(HOST_LINK_OFF);
    lowerTable.SizeOfFastIoDispatch = km::FastIoMemberOffset(FastIoMember::ReleaseFileForNtCreateSection) - 1;
    EXPECT_EQ(Pair(), Sides{});
    lowerTable.SizeOfFastIoDispatch += 1;
    EXPECT_EQ(Pair(), Sides{FastIoSide::Lower});

    // No volume named by the VPB, or no VPB: nothing.
    lowerTable.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
    vpb.DeviceObject = nullptr;
    EXPECT_EQ(Pair(), Sides{});
    storage->Vpb = nullptr;
    EXPECT_EQ(Pair(), Sides{});
}

}  // namespace
