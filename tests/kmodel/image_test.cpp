// Driver images: every load starts from the image's initial data, an unload really unmaps it,
// and the image calls the same model as the test.
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr LONG CounterInitialValue = 41;
constexpr ULONG ImageTag = km::PoolTag("Cntr");

class ImageTest : public KernelTest {
protected:
    std::string CounterPath() const { return km::ImageDirectory() + "/counter.so"; }

    km::Image* Load()
    {
        std::string error;
        km::Image* image = km::LoadImage(CounterPath(), &error);
        EXPECT_NE(image, nullptr) << error;
        return image;
    }
};

TEST_F(ImageTest, EachLoadStartsFromTheInitialDataAndOnlyOneLoadAtATime)
{
    km::Image* image = Load();
    ASSERT_NE(image, nullptr);
    std::string error;
    EXPECT_EQ(km::LoadImage(CounterPath(), &error), nullptr);
    EXPECT_NE(error.find("already loaded"), std::string::npos) << error;
    auto* value = static_cast<LONG*>(km::ImageSymbol(image, "CounterImageValue"));
    auto bump = reinterpret_cast<LONG (*)()>(km::ImageSymbol(image, "CounterImageBump"));
    ASSERT_NE(value, nullptr);
    ASSERT_NE(bump, nullptr);
    EXPECT_EQ(*value, CounterInitialValue);
    bump();
    EXPECT_EQ(bump(), CounterInitialValue + 2);
    km::UnloadImage(image);

    image = Load();
    ASSERT_NE(image, nullptr);
    value = static_cast<LONG*>(km::ImageSymbol(image, "CounterImageValue"));
    EXPECT_EQ(*value, CounterInitialValue);
    km::UnloadImage(image);
    EXPECT_EQ(km::LoadImage(km::ImageDirectory() + "/missing.so", &error), nullptr);
}

TEST_F(ImageTest, ImageUsesTheTestsModel)
{
    km::Image* image = Load();
    ASSERT_NE(image, nullptr);
    auto allocate = reinterpret_cast<PVOID (*)(ULONG)>(km::ImageSymbol(image, "CounterImageAllocate"));
    auto release = reinterpret_cast<void (*)(PVOID, ULONG)>(km::ImageSymbol(image, "CounterImageFree"));
    ASSERT_NE(allocate, nullptr);
    ASSERT_NE(release, nullptr);
    PVOID block = allocate(ImageTag);
    km::PoolBlockInfo info{};
    ASSERT_TRUE(km::QueryPoolBlock(block, &info));
    EXPECT_EQ(info.tag, ImageTag);
    release(block, ImageTag);
    EXPECT_EQ(km::OutstandingBlocks(ImageTag), 0u);
    km::UnloadImage(image);
}

}  // namespace
