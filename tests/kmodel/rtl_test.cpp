// The export table behind MmGetSystemRoutineAddress, and the Rtl string routines: counted strings
// copied, appended, compared and upcased; strings read as integers as Windows reads them (white
// space, sign, base prefixes, stopping at the first non-digit); ANSI to Unicode and back with the
// allocated buffer freed; duplicates made as their flags ask.
#include "io/io_test_util.h"

namespace {

using RtlTest = KernelTest;

UNICODE_STRING Text(const char16_t* text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

TEST_F(RtlTest, RoutinesResolveToThemselvesByTheirExactCountedName)
{
    UNICODE_STRING name = Text(u"KeAcquireInStackQueuedSpinLock");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<void*>(&KeAcquireInStackQueuedSpinLock));
    name = Text(u"exfreepoolwithtag");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr) << "names are case-sensitive";
    // The name is counted: a longer buffer cut by Length names the shorter routine.
    UNICODE_STRING counted = Text(u"ExFreePoolWithTagAndMore");
    counted.Length = (USHORT)(sizeof(u"ExFreePoolWithTag") - sizeof(char16_t));
    EXPECT_EQ(MmGetSystemRoutineAddress(&counted), reinterpret_cast<void*>(&ExFreePoolWithTag));
}

TEST_F(RtlTest, InitCountsWithoutTheTerminatorAndCopyAndAppendRespectTheDestinationSize)
{
    UNICODE_STRING source = Text(u"Amem");
    EXPECT_EQ(source.Length, 8);
    EXPECT_EQ(source.MaximumLength, 10);
    source = Text(nullptr);
    EXPECT_EQ(source.Length, 0);
    EXPECT_EQ(source.MaximumLength, 0);
    EXPECT_EQ(source.Buffer, nullptr);
    char16_t buffer[8] = {u'x'};
    UNICODE_STRING destination{sizeof(char16_t), sizeof(buffer), buffer};
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, 0) << "an empty source without a buffer copies nothing";
    source = Text(u"\\Device\\Sample");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(FromCounted(destination), u"\\Device\\") << "truncated to the destination";

    source = Text(u"ab");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(buffer[2], 0) << "terminated when there is room";
    EXPECT_EQ(RtlAppendUnicodeToString(&destination, u"cde"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &source), STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(destination), u"abcdeab");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &source), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(destination.Length, 14) << "a failed append changes nothing";
}

TEST_F(RtlTest, CompareEqualPrefixAndUpcaseHonourCase)
{
    UNICODE_STRING lower = Text(u"\\device\\harddiskvolume1");
    UNICODE_STRING upper = Text(u"\\DEVICE\\HARDDISKVOLUME1");
    UNICODE_STRING prefix = Text(u"\\Device\\");
    EXPECT_EQ(RtlCompareUnicodeString(&lower, &upper, TRUE), 0);
    EXPECT_FALSE(RtlEqualUnicodeString(&lower, &upper, FALSE));
    EXPECT_LT(RtlCompareUnicodeString(&prefix, &upper, TRUE), 0) << "a prefix sorts first";
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &upper, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &upper, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&upper, &prefix, TRUE));

    // Upcasing into a short buffer changes nothing; allocated, it holds exactly the text.
    WCHAR small[3] = {u'x'};
    UNICODE_STRING tooSmall = {0, sizeof small, small};
    EXPECT_EQ(RtlUpcaseUnicodeString(&tooSmall, &lower, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tooSmall.Length, 0);
    EXPECT_EQ(small[0], u'x');
    UNICODE_STRING upcased{};
    ASSERT_EQ(RtlUpcaseUnicodeString(&upcased, &lower, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(upcased), FromCounted(upper));
    EXPECT_EQ(upcased.MaximumLength, upcased.Length);
    RtlFreeUnicodeString(&upcased);
    const char16_t cases[][2] = {{u'a', u'A'}, {u'1', u'1'}, {u'\u00e9', u'\u00c9'}, {u'\u00f7', u'\u00f7'},
                                 {u'\u044f', u'\u042f'}};
    for (const auto& c : cases) {
        EXPECT_EQ(RtlUpcaseUnicodeChar(c[0]), c[1]) << int(c[0]);
    }
}

TEST_F(RtlTest, UnicodeStringToIntegerReadsAsWindowsDoes)
{
    const struct {
        const char16_t* text;
        ULONG base;
        NTSTATUS status;
        ULONG value;
    } cases[] = {
        {u"  42", 0, STATUS_SUCCESS, 42},         {u"-1", 10, STATUS_SUCCESS, 0xFFFFFFFF},
        {u"0x1F", 0, STATUS_SUCCESS, 31},         {u"0b101", 0, STATUS_SUCCESS, 5},
        {u"0o17", 0, STATUS_SUCCESS, 15},         {u"1F", 16, STATUS_SUCCESS, 31},
        {u"12ab", 10, STATUS_SUCCESS, 12},        {u"", 10, STATUS_SUCCESS, 0},
        {u"4294967296", 10, STATUS_SUCCESS, 0},   {u"7", 7, STATUS_INVALID_PARAMETER, 99},
    };
    for (const auto& c : cases) {
        UNICODE_STRING text = Text(c.text);
        ULONG value = 99;
        EXPECT_EQ(RtlUnicodeStringToInteger(&text, c.base, &value), c.status) << "case " << (&c - cases);
        EXPECT_EQ(value, c.value) << "case " << (&c - cases);
    }
}

TEST_F(RtlTest, AnsiAndUnicodeConvertBothWaysIntoAllocatedOrGivenBuffers)
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

// Duplicates: flags, the empty source with or without a buffer, the terminator, invalid input.
TEST_F(RtlTest, DuplicateFollowsItsFlags)
{
    constexpr ULONG Terminate = RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE;
    constexpr ULONG EmptyBuffer = RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING;
    WCHAR text[] = u"name";
    const struct {
        ULONG flags;
        UNICODE_STRING source;
        NTSTATUS status;
        USHORT maximumLength;
        bool buffer;
    } cases[] = {
        {0, {8, 10, text}, STATUS_SUCCESS, 8, true},
        {Terminate, {8, 10, text}, STATUS_SUCCESS, 10, true},
        {0, {0, 10, text}, STATUS_SUCCESS, 0, false},
        {EmptyBuffer | Terminate, {0, 0, nullptr}, STATUS_SUCCESS, 2, true},
        {4, {8, 10, text}, STATUS_INVALID_PARAMETER, 0, false},
        {0, {10, 8, text}, STATUS_INVALID_PARAMETER, 0, false},
        {0, {3, 10, text}, STATUS_INVALID_PARAMETER, 0, false},
        {Terminate, {0xFFFE, 0xFFFE, text}, STATUS_NAME_TOO_LONG, 0, false},
    };
    for (const auto& c : cases) {
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
