// Counted-string conversions: ANSI to Unicode and back (the model's ANSI code page is Latin-1:
// bytes are the first 256 code points; other characters become '?'), strings to integers, and
// the Rtl routines that allocate the destination from paged pool, freed with RtlFree*String.
#include "internal/ps.h"
#include "internal/verifier.h"
#include "kmodel/model.h"

namespace {

constexpr ULONG KmpStringTag = km::PoolTag("Strg");
constexpr ULONG KmpLongestCountedBytes = 0xFFFF;
constexpr WCHAR KmpUnmappable = u'?';
constexpr WCHAR KmpHighestLatin1 = 0xFF;

void KmpCheckPassiveToAllocate(const char* routine)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, PASSIVE_LEVEL, 0,
                   "%s allocating at IRQL %u", routine, irql);
    }
}

// Gives a conversion's destination room for `bytes` (the text and its terminator): a buffer from
// paged pool when the caller asks for one, else the caller's buffer if its text fits.
template <typename Counted>
NTSTATUS KmpPrepareDestination(Counted* destination, ULONG bytes, USHORT length, BOOLEAN allocate,
                               const char* routine)
{
    if (bytes > KmpLongestCountedBytes) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (allocate) {
        KmpCheckPassiveToAllocate(routine);
        void* buffer = ExAllocatePoolWithTag(PagedPool, bytes, KmpStringTag);
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        destination->Buffer = static_cast<decltype(destination->Buffer)>(buffer);
        destination->MaximumLength = static_cast<USHORT>(bytes);
    } else if (length > destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_SUCCESS;
}

// The value of digit `c` in any base up to 16, or 16 when it is none.
ULONG KmpDigitValue(WCHAR c)
{
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return 16;
}

}  // namespace

// PASSIVE_LEVEL when allocating. STATUS_INVALID_PARAMETER_2 when the result would not fit a counted
// string; STATUS_BUFFER_OVERFLOW (nothing changed) when it does not fit the given buffer.
extern "C" NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString)
{
    ULONG bytes = (SourceString->Length + 1UL) * sizeof(WCHAR);
    USHORT length = static_cast<USHORT>(bytes - sizeof(WCHAR));
    NTSTATUS status = KmpPrepareDestination(DestinationString, bytes, length, AllocateDestinationString,
                                            "RtlAnsiStringToUnicodeString");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i) {
        DestinationString->Buffer[i] = static_cast<UCHAR>(SourceString->Buffer[i]);
    }
    DestinationString->Length = length;
    if (length + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

// As RtlAnsiStringToUnicodeString, the other way.
extern "C" NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString)
{
    ULONG bytes = SourceString->Length / sizeof(WCHAR) + 1UL;
    USHORT length = static_cast<USHORT>(bytes - 1);
    NTSTATUS status = KmpPrepareDestination(DestinationString, bytes, length, AllocateDestinationString,
                                            "RtlUnicodeStringToAnsiString");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (USHORT i = 0; i < length; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = static_cast<CHAR>(c <= KmpHighestLatin1 ? c : KmpUnmappable);
    }
    DestinationString->Length = length;
    if (length < DestinationString->MaximumLength) {
        DestinationString->Buffer[length] = 0;
    }
    return STATUS_SUCCESS;
}

// Upper case of the source (RtlUpcaseUnicodeChar per character), in place when both are the same
// string. With AllocateDestinationString the buffer holds exactly the text (no terminator), from
// paged pool at PASSIVE_LEVEL. STATUS_BUFFER_OVERFLOW (nothing changed) when the text does not fit
// the given buffer; STATUS_NO_MEMORY when the allocation fails.
extern "C" NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString)
{
    USHORT length = SourceString->Length;
    NTSTATUS status = KmpPrepareDestination(DestinationString, length, length, AllocateDestinationString,
                                            "RtlUpcaseUnicodeString");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (USHORT i = 0; i < length / sizeof(WCHAR); ++i) {
        DestinationString->Buffer[i] = RtlUpcaseUnicodeChar(SourceString->Buffer[i]);
    }
    DestinationString->Length = length;
    return STATUS_SUCCESS;
}

// A copy of the source in paged pool (PASSIVE_LEVEL), freed with RtlFreeUnicodeString. An empty
// source gives an empty string with no buffer unless the flags ask for one;
// RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE adds a terminator. STATUS_INVALID_PARAMETER for
// unknown flags, a missing string or a source whose sizes do not hold; STATUS_NAME_TOO_LONG when
// the terminator does not fit a counted string; STATUS_NO_MEMORY when the allocation fails.
extern "C" NTSTATUS NTAPI RtlDuplicateUnicodeString(ULONG Flags, PCUNICODE_STRING StringIn, PUNICODE_STRING StringOut)
{
    constexpr ULONG knownFlags =
        RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE | RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING;
    if ((Flags & ~knownFlags) != 0 || StringIn == nullptr || StringOut == nullptr ||
        StringIn->Length > StringIn->MaximumLength || (StringIn->Length % sizeof(WCHAR)) != 0 ||
        (StringIn->Length != 0 && StringIn->Buffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    bool terminate = (Flags & RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE) != 0;
    if (StringIn->Length == 0 && (Flags & RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING) == 0) {
        StringOut->Length = StringOut->MaximumLength = 0;
        StringOut->Buffer = nullptr;
        return STATUS_SUCCESS;
    }
    ULONG bytes = StringIn->Length + (terminate ? sizeof(WCHAR) : 0UL);
    if (bytes > KmpLongestCountedBytes) {
        return STATUS_NAME_TOO_LONG;
    }
    UNICODE_STRING copy = {};
    NTSTATUS status = KmpPrepareDestination(&copy, bytes, StringIn->Length, TRUE, "RtlDuplicateUnicodeString");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (StringIn->Length != 0) {
        memcpy(copy.Buffer, StringIn->Buffer, StringIn->Length);
    }
    copy.Length = StringIn->Length;
    if (terminate) {
        copy.Buffer[copy.Length / sizeof(WCHAR)] = 0;
    }
    *StringOut = copy;
    return STATUS_SUCCESS;
}

// Frees a buffer an Rtl routine allocated; a string with no buffer is left alone.
extern "C" void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

extern "C" void NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer != nullptr) {
        ExFreePool(AnsiString->Buffer);
    }
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

// Leading white space and a sign are skipped; Base 0 reads a 0x, 0o or 0b prefix (else base 10).
// Conversion stops at the first character that is no digit of the base; the value wraps as a
// ULONG. STATUS_INVALID_PARAMETER for a base other than 0, 2, 8, 10 or 16.
extern "C" NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t count = String->Length / sizeof(WCHAR);
    size_t at = 0;
    while (at < count && String->Buffer[at] <= u' ') {
        ++at;
    }
    bool negative = false;
    if (at < count && (String->Buffer[at] == u'+' || String->Buffer[at] == u'-')) {
        negative = String->Buffer[at] == u'-';
        ++at;
    }
    if (Base == 0) {
        Base = 10;
        if (at + 1 < count && String->Buffer[at] == u'0') {
            switch (String->Buffer[at + 1]) {
            case u'x':
                Base = 16;
                break;
            case u'o':
                Base = 8;
                break;
            case u'b':
                Base = 2;
                break;
            default:
                break;
            }
            at += Base == 10 ? 0 : 2;
        }
    }
    ULONG result = 0;
    for (; at < count; ++at) {
        ULONG digit = KmpDigitValue(String->Buffer[at]);
        if (digit >= Base) {
            break;
        }
        result = result * Base + digit;
    }
    *Value = negative ? 0 - result : result;
    return STATUS_SUCCESS;
}
