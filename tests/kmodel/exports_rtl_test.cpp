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

TEST_F(ExportTest, RoutinesResolveToThemselves)
{
    EXPECT_EQ(Lookup(u"KeAcquireInStackQueuedSpinLock"), reinterpret_cast<void*>(&KeAcquireInStackQueuedSpinLock));
    EXPECT_EQ(Lookup(u"KeReleaseInStackQueuedSpinLock"), reinterpret_cast<void*>(&KeReleaseInStackQueuedSpinLock));
    EXPECT_EQ(Lookup(u"ExFreePoolWithTag"), reinterpret_cast<void*>(&ExFreePoolWithTag));
    EXPECT_EQ(Lookup(u"KeWaitForSingleObject"), reinterpret_cast<void*>(&KeWaitForSingleObject));
    EXPECT_EQ(Lookup(u"RtlCompareUnicodeString"), reinterpret_cast<void*>(&RtlCompareUnicodeString));
    EXPECT_EQ(Lookup(u"MmIsNonPagedSystemAddressValid"), reinterpret_cast<void*>(&MmIsNonPagedSystemAddressValid));
    EXPECT_EQ(Lookup(u"PsGetCurrentThreadId"), reinterpret_cast<void*>(&PsGetCurrentThreadId));
    EXPECT_EQ(Lookup(u"IofCompleteRequest"), reinterpret_cast<void*>(&IofCompleteRequest));
    EXPECT_EQ(Lookup(u"NoSuchRoutine"), nullptr);
    EXPECT_EQ(Lookup(u"exfreepoolwithtag"), nullptr) << "names are case-sensitive";

    // The name is counted: a longer buffer cut by Length names the shorter routine.
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, u"ExFreePoolWithTagAndMore");
    counted.Length = (USHORT)(sizeof(u"ExFreePoolWithTag") - sizeof(char16_t));
    EXPECT_EQ(MmGetSystemRoutineAddress(&counted), reinterpret_cast<void*>(&ExFreePoolWithTag));
}

TEST_F(ExportTest, RemovedNamesResolveToNullUntilRestored)
{
    km::RemoveExport("KeAcquireInStackQueuedSpinLock");
    EXPECT_EQ(Lookup(u"KeAcquireInStackQueuedSpinLock"), nullptr);
    EXPECT_NE(Lookup(u"KeReleaseInStackQueuedSpinLock"), nullptr);
    km::RestoreExports();
    EXPECT_NE(Lookup(u"KeAcquireInStackQueuedSpinLock"), nullptr);
}

TEST(ExportLifetimeTest, BootRestoresTheFullTable)
{
    km::Boot();
    km::RemoveExport("ExFreePoolWithTag");
    EXPECT_EQ(Lookup(u"ExFreePoolWithTag"), nullptr);
    EXPECT_EQ(km::Shutdown(), "");
    km::Boot();
    EXPECT_NE(Lookup(u"ExFreePoolWithTag"), nullptr);
    EXPECT_EQ(km::Shutdown(), "");
}

TEST_F(RtlStringTest, InitCountsWithoutTheTerminator)
{
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, u"Amem");
    EXPECT_EQ(text.Length, 8);
    EXPECT_EQ(text.MaximumLength, 10);
    RtlInitUnicodeString(&text, nullptr);
    EXPECT_EQ(text.Length, 0);
    EXPECT_EQ(text.MaximumLength, 0);
    EXPECT_EQ(text.Buffer, nullptr);

    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "host");
    EXPECT_EQ(ansi.Length, 4);
    EXPECT_EQ(ansi.MaximumLength, 5);
}

TEST_F(RtlStringTest, CopyAndAppendRespectTheDestinationSize)
{
    char16_t buffer[8];
    UNICODE_STRING destination{0, sizeof(buffer), buffer};
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"\\Device\\Sample");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, sizeof(buffer)) << "truncated to the destination";
    EXPECT_EQ(std::u16string(buffer, 8), u"\\Device\\");

    RtlInitUnicodeString(&source, u"ab");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, 4);
    EXPECT_EQ(buffer[2], 0) << "terminated when there is room";
    EXPECT_EQ(RtlAppendUnicodeToString(&destination, u"cde"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer, destination.Length / 2), u"abcde");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &source), STATUS_SUCCESS);
    EXPECT_EQ(destination.Length, 14);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &source), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(destination.Length, 14) << "a failed append changes nothing";
}

TEST_F(RtlStringTest, CompareEqualAndPrefixHonourCase)
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
}

TEST_F(RtlStringTest, UpcaseCoversLettersBeyondAscii)
{
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'a'), u'A');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'Z'), u'Z');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'1'), u'1');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00e9'), u'\u00c9');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00f7'), u'\u00f7');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u044f'), u'\u042f');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u03c9'), u'\u03a9');
}

}  // namespace
