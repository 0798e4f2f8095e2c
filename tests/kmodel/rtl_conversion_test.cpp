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

// Upcasing into a short buffer changes nothing; in place and allocated it holds exactly the text.
TEST_F(RtlConversionTest, UpcaseFitsOrOverflowsAndAllocatesExactly)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"ab\u00e9z");
    WCHAR small[3] = {u'x'};
    UNICODE_STRING tooSmall = {0, sizeof small, small};
    EXPECT_EQ(RtlUpcaseUnicodeString(&tooSmall, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tooSmall.Length, 0);
    EXPECT_EQ(small[0], u'x');
    UNICODE_STRING upper{};
    ASSERT_EQ(RtlUpcaseUnicodeString(&upper, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(upper), u"AB\u00c9Z");
    EXPECT_EQ(upper.MaximumLength, upper.Length);
    RtlFreeUnicodeString(&upper);
}

// Duplicates: flags, the empty source with or without a buffer, the terminator, invalid input.
TEST_F(RtlConversionTest, DuplicateFollowsItsFlags)
{
    constexpr ULONG Terminate = RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE;
    constexpr ULONG EmptyBuffer = RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING;
    WCHAR text[] = u"name";
    struct Case {
        ULONG flags;
        UNICODE_STRING source;
        NTSTATUS status;
        USHORT maximumLength;
        bool buffer;
    };
    const Case cases[] = {
        {0, {8, 10, text}, STATUS_SUCCESS, 8, true},
        {Terminate, {8, 10, text}, STATUS_SUCCESS, 10, true},
        {0, {0, 10, text}, STATUS_SUCCESS, 0, false},
        {EmptyBuffer | Terminate, {0, 0, nullptr}, STATUS_SUCCESS, 2, true},
        {4, {8, 10, text}, STATUS_INVALID_PARAMETER, 0, false},
        {0, {10, 8, text}, STATUS_INVALID_PARAMETER, 0, false},
        {0, {3, 10, text}, STATUS_INVALID_PARAMETER, 0, false},
        {Terminate, {0xFFFE, 0xFFFE, text}, STATUS_NAME_TOO_LONG, 0, false},
    };
    for (const Case& c : cases) {
        UNICODE_STRING copy = {1, 1, nullptr};
        ASSERT_EQ(RtlDuplicateUnicodeString(c.flags, &c.source, &copy), c.status) << c.flags << " " << c.source.Length;
        if (!NT_SUCCESS(c.status)) {
            continue;
        }
        EXPECT_EQ(copy.MaximumLength, c.maximumLength) << c.flags;
        EXPECT_EQ(copy.Buffer != nullptr, c.buffer) << c.flags;
        EXPECT_EQ(FromCounted(copy), std::u16string(c.source.Buffer ? text : u"", c.source.Length / 2));
        if ((c.flags & Terminate) != 0) {
            EXPECT_EQ(copy.Buffer[copy.Length / 2], 0);
        }
        RtlFreeUnicodeString(&copy);
    }
}

}  // namespace
