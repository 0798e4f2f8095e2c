// Helpers shared by the I/O manager's tests.
#pragma once

#include <string>

#include "kmodel/io_model.h"
#include "support/kernel_test.h"

// A counted string over the characters of `text`, every character counted (U+0000 included).
inline UNICODE_STRING Counted(const std::u16string& text)
{
    UNICODE_STRING string;
    string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    string.Buffer = const_cast<PWCH>(text.data());
    return string;
}

inline std::u16string FromCounted(const UNICODE_STRING& string)
{
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

// Kernel tests that die: death tests re-execute the test binary, the safe way with threads.
class IoDeathTest : public KernelTest {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        KernelTest::SetUp();
    }
};
