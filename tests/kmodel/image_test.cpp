// Driver images: every load starts from the image's initial data and an unload really unmaps it.
// That an image calls the same model as the test is what every host test stands on.
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr LONG CounterInitialValue = 41;

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

}  // namespace
