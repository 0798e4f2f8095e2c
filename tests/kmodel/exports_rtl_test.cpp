// The export table behind MmGetSystemRoutineAddress, and the counted-string routines.
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

class ExportTest : public KernelTest {};
class RtlStringTest : public KernelTest {};

void* Lookup(const char16_t* name)
{
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    return MmGetSystemRoutineAddress(&text);
}

TEST_F(ExportTest, RoutinesResolveToThemselvesByTheirExactCountedName)
{
    EXPECT_EQ(Lookup(u"KeAcquireInStackQueuedSpinLock"), reinterpret_cast<void*>(&KeAcquireInStackQueuedSpinLock));
    EXPECT_EQ(Lookup(u"IofCompleteRequest"), reinterpret_cast<void*>(&IofCompleteRequest));
    EXPECT_EQ(Lookup(u"NoSuchRoutine"), nullptr);
    EXPECT_EQ(Lookup(u"exfreepoolwithtag"), nullptr) << "names are case-sensitive";

    // The name is counted: a longer buffer cut by Length names the shorter routine.
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, u"ExFreePoolWithTagAndMore");
    counted.Length = (USHORT)(sizeof(u"ExFreePoolWithTag") - sizeof(char16_t));
    EXPECT_EQ(MmGetSystemRoutineAddress(&counted), reinterpret_cast<void*>(&ExFreePoolWithTag));
}

TEST_F(RtlStringTest, InitCountsWithoutTheTerminatorAndCopyAndAppendRespectTheDestinationSize)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"Amem");
    EXPECT_EQ(source.Length, 8);
    EXPECT_EQ(source.MaximumLength, 10);
    RtlInitUnicodeString(&source, nullptr);
    EXPECT_EQ(source.Length, 0);
    EXPECT_EQ(source.MaximumLength, 0);
    EXPECT_EQ(source.Buffer, nullptr);
    char16_t buffer[8] = {u'x'};
    UNICODE_STRING destination{sizeof(char16_t), sizeof(buffer), buffer};
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, 0) << "an empty source without a buffer copies nothing";
    RtlInitUnicodeString(&source, u"\\Device\\Sample");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(std::u16string(buffer, destination.Length / 2), u"\\Device\\") << "truncated to the destination";

    RtlInitUnicodeString(&source, u"ab");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(buffer[2], 0) << "terminated when there is room";
    EXPECT_EQ(RtlAppendUnicodeToString(&destination, u"cde"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &source), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer, destination.Length / 2), u"abcdeab");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &source), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(destination.Length, 14) << "a failed append changes nothing";
}

TEST_F(RtlStringTest, CompareEqualPrefixAndUpcaseHonourCase)
{
    UNICODE_STRING lower;
    UNICODE_STRING upper;
    UNICODE_STRING prefix;
    RtlInitUnicodeString(&lower, u"\\device\\harddiskvolume1");
    RtlInitUnicodeString(&upper, u"\\DEVICE\\HARDDISKVOLUME1");
    RtlInitUnicodeString(&prefix, u"\\Device\\");
    EXPECT_GT(RtlCompareUnicodeString(&lower, &upper, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&lower, &upper, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&prefix, &upper, TRUE), 0) << "a prefix sorts first";
    EXPECT_FALSE(RtlEqualUnicodeString(&lower, &upper, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&lower, &upper, TRUE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &upper, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &upper, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&upper, &prefix, TRUE));

    const char16_t cases[][2] = {{u'a', u'A'}, {u'1', u'1'}, {u'\u00e9', u'\u00c9'}, {u'\u00f7', u'\u00f7'},
                                 {u'\u044f', u'\u042f'}};
    for (const auto& c : cases) {
        EXPECT_EQ(RtlUpcaseUnicodeChar(c[0]), c[1]) << int(c[0]);
    }
}

}  // namespace
