// Counted strings. Lengths are in bytes; buffers need not be null-terminated, and the routines
// add a terminator only where the buffer has room for one.
#include <cstring>

#include "ntmodel/ntifs.h"

namespace {

// Longest counted strings the Init routines make (MaximumLength must still fit in a USHORT).
constexpr size_t KmpLongestUnicodeLength = 0xFFFC;
constexpr size_t KmpLongestAnsiLength = 0xFFFE;

size_t KmpWideLength(PCWSTR text)
{
    size_t count = 0;
    while (text[count] != 0) {
        ++count;
    }
    return count;
}

// Dest->Length is set: add a terminator when the buffer has room beyond the text.
void KmpTerminateIfRoom(PUNICODE_STRING destination)
{
    if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength) {
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    }
}

// Appends `bytes` bytes of text; STATUS_BUFFER_TOO_SMALL, changing nothing, when they do not fit.
NTSTATUS KmpAppend(PUNICODE_STRING destination, PCWCH text, size_t bytes)
{
    if (destination->Length + bytes > destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (bytes != 0) {
        memmove(destination->Buffer + destination->Length / sizeof(WCHAR), text, bytes);
        destination->Length = (USHORT)(destination->Length + bytes);
        KmpTerminateIfRoom(destination);
    }
    return STATUS_SUCCESS;
}

WCHAR KmpFold(WCHAR c, BOOLEAN caseInsensitive) { return caseInsensitive ? RtlUpcaseUnicodeChar(c) : c; }

}  // namespace

extern "C" void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = KmpWideLength(SourceString) * sizeof(WCHAR);
    if (bytes > KmpLongestUnicodeLength) {
        bytes = KmpLongestUnicodeLength;
    }
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
}

extern "C" void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = strlen(SourceString);
    if (bytes > KmpLongestAnsiLength) {
        bytes = KmpLongestAnsiLength;
    }
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + 1);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

// Copies as much of the source as the destination holds; a null source empties the destination.
extern "C" void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                          : DestinationString->MaximumLength;
    bytes = (USHORT)(bytes & ~1u);
    if (bytes != 0) {  // an empty source may have no buffer at all
        memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    }
    DestinationString->Length = bytes;
    KmpTerminateIfRoom(DestinationString);
}

// An empty source succeeds whatever the destination's sizes, as on Windows.
extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    return KmpAppend(Destination, Source->Buffer, Source->Length);
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    return KmpAppend(Destination, Source, KmpWideLength(Source) * sizeof(WCHAR));
}

// Negative, zero or positive as String1 sorts before, with or after String2.
extern "C" LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    size_t count1 = String1->Length / sizeof(WCHAR);
    size_t count2 = String2->Length / sizeof(WCHAR);
    size_t common = count1 < count2 ? count1 : count2;
    for (size_t i = 0; i < common; ++i) {
        WCHAR c1 = KmpFold(String1->Buffer[i], CaseInSensitive);
        WCHAR c2 = KmpFold(String2->Buffer[i], CaseInSensitive);
        if (c1 != c2) {
            return (LONG)c1 - (LONG)c2;
        }
    }
    return (LONG)count1 - (LONG)count2;
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// TRUE when String1 is a prefix of String2.
extern "C" BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        if (KmpFold(String1->Buffer[i], CaseInSensitive) != KmpFold(String2->Buffer[i], CaseInSensitive)) {
            return FALSE;
        }
    }
    return TRUE;
}

// Upper case for ASCII, Latin-1, Greek and Cyrillic letters; other characters are returned as
// they are.
extern "C" WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    WCHAR c = SourceCharacter;
    if ((c >= u'a' && c <= u'z') || (c >= 0x00E0 && c <= 0x00FE && c != 0x00F7)) {
        return (WCHAR)(c - 0x20);
    }
    if (c == 0x00FF) {
        return 0x0178;
    }
    if (c >= 0x03B1 && c <= 0x03CB && c != 0x03C2) {
        return (WCHAR)(c - 0x20);
    }
    if (c == 0x03C2) {
        return 0x03A3;
    }
    if (c >= 0x0430 && c <= 0x044F) {
        return (WCHAR)(c - 0x20);
    }
    if (c >= 0x0450 && c <= 0x045F) {
        return (WCHAR)(c - 0x50);
    }
    return c;
}
