// Rtl conversions: strings to integers as Windows reads them (white space, sign, base prefixes,
// stopping at the first non-digit), and ANSI to Unicode and back with the allocated buffer freed.
#include "io/io_test_util.h"

namespace {

struct IntegerCase {
    const char16_t* text;
    ULONG base;
    NTSTATUS status;
    ULONG value;
};

class RtlConversionTest : public KernelTest {};

TEST_F(RtlConversionTest, UnicodeStringToIntegerReadsAsWindowsDoes)
{
    const IntegerCase cases[] = {
        {u"  42", 0, STATUS_SUCCESS, 42},         {u"-1", 10, STATUS_SUCCESS, 0xFFFFFFFF},
        {u"0x1F", 0, STATUS_SUCCESS, 31},         {u"0b101", 0, STATUS_SUCCESS, 5},
        {u"0o17", 0, STATUS_SUCCESS, 15},         {u"1F", 16, STATUS_SUCCESS, 31},
        {u"12ab", 10, STATUS_SUCCESS, 12},        {u"", 10, STATUS_SUCCESS, 0},
        {u"4294967296", 10, STATUS_SUCCESS, 0},   {u"7", 7, STATUS_INVALID_PARAMETER, 99},
    };
    for (const IntegerCase& c : cases) {
        std::u16string characters = c.text;
        UNICODE_STRING text = Counted(characters);
        ULONG value = 99;
        EXPECT_EQ(RtlUnicodeStringToInteger(&text, c.base, &value), c.status) << "case " << (&c - cases);
        EXPECT_EQ(value, c.value) << "case " << (&c - cases);
    }
}

TEST_F(RtlConversionTest, AnsiAndUnicodeConvertBothWaysIntoAllocatedOrGivenBuffers)
{
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "caf\xE9");
    UNICODE_STRING unicode{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&unicode, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(unicode), u"caf\u00E9");
    EXPECT_EQ(unicode.MaximumLength, unicode.Length + sizeof(WCHAR));
    WCHAR small[3];
    UNICODE_STRING tooSmall = {0, sizeof small, small};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&tooSmall, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tooSmall.Length, 0);
    CHAR back[8] = {};
    ANSI_STRING given = {0, sizeof back, back};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&given, &unicode, FALSE), STATUS_SUCCESS);
    EXPECT_STREQ(back, "caf\xE9");
    RtlFreeUnicodeString(&unicode);
    EXPECT_EQ(unicode.Buffer, nullptr);
}

}  // namespace
