// Image-load notify routines: told of each driver image the loader maps, as Windows tells them of
// a system image, until removed; removal of one not registered is refused.
#include "../io/io_test_util.h"

namespace {

using ImageNotifyTest = KernelTest;

struct ImageLoad {
    std::u16string name;
    HANDLE processId;
    IMAGE_INFO info;
};
std::vector<ImageLoad> g_loads;

void NTAPI RecordImageLoad(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo)
{
    g_loads.push_back({FromCounted(*FullImageName), ProcessId, *ImageInfo});
}

TEST_F(ImageNotifyTest, EachDriverImageIsReportedAsASystemImageUntilTheRoutineIsRemoved)
{
    g_loads.clear();
    ASSERT_EQ(PsSetLoadImageNotifyRoutine(RecordImageLoad), STATUS_SUCCESS);
    km::DriverLoadResult loaded = km::LoadDriver(km::ImagePath("iotest.so"));
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    ASSERT_EQ(g_loads.size(), 1u);
    const ImageLoad& load = g_loads[0];
    EXPECT_EQ(load.name, u"\\SystemRoot\\System32\\drivers\\iotest.sys");
    EXPECT_EQ(load.processId, nullptr);
    EXPECT_EQ(load.info.SystemModeImage, 1u);
    EXPECT_EQ(load.info.ImageAddressingMode, static_cast<ULONG>(IMAGE_ADDRESSING_MODE_32BIT));
    EXPECT_EQ(load.info.ImageBase, loaded.driver->DriverStart);
    EXPECT_EQ(load.info.ImageSize, loaded.driver->DriverSize);
    ASSERT_EQ(km::UnloadDriver(loaded.driver), STATUS_SUCCESS);

    EXPECT_EQ(PsRemoveLoadImageNotifyRoutine(RecordImageLoad), STATUS_SUCCESS);
    EXPECT_EQ(PsRemoveLoadImageNotifyRoutine(RecordImageLoad), STATUS_PROCEDURE_NOT_FOUND);
    loaded = km::LoadDriver(km::ImagePath("iotest.so"));
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    EXPECT_EQ(g_loads.size(), 1u) << "a removed routine is not called";
    ASSERT_EQ(km::UnloadDriver(loaded.driver), STATUS_SUCCESS);
}

}  // namespace
