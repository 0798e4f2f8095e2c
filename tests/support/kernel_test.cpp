#include "support/kernel_test.h"

km::BootOptions KernelTest::Options() const
{
    km::BootOptions options;
    options.clockRate = 1000.0;
    return options;
}

void KernelTest::SetUp() { km::Boot(Options()); }

void KernelTest::TearDown()
{
    std::string leaks = km::Shutdown();
    EXPECT_EQ(leaks, "") << "the model reported what the test left behind";
}

void HostImageTest::SetUp()
{
    KernelTest::SetUp();
    std::string error;
    image = km::LoadImage(km::ImageDirectory() + "/host.so", &error);
    ASSERT_NE(image, nullptr) << error;
#define HOST_IMPORT_RESOLVE(name)                                                          \
    host.name = reinterpret_cast<decltype(host.name)>(km::ImageSymbol(image, #name));      \
    ASSERT_NE(host.name, nullptr) << "the host image does not export " #name;
    HOST_IMPORTS(HOST_IMPORT_RESOLVE)
#undef HOST_IMPORT_RESOLVE
}

void HostImageTest::TearDown()
{
    if (image != nullptr) {
        km::UnloadImage(image);
        image = nullptr;
    }
    KernelTest::TearDown();
}
