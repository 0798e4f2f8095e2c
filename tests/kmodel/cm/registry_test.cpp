// The registry: keys created once and found case-insensitively, the names and options refused,
// values and the sizes ZwQueryValueKey answers, deletion, volatility across a restart, and key
// handles under the object manager's rules.
#include <cstring>

#include "kmodel/cm_model.h"
#include "../io/io_test_util.h"

namespace {

const std::u16string Software = u"\\REGISTRY\\MACHINE\\SOFTWARE";

NTSTATUS CreateKey(const std::u16string& name, ULONG options, HANDLE* handle, ULONG* disposition = nullptr,
                   HANDLE root = nullptr)
{
    UNICODE_STRING counted = Counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root, nullptr);
    return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, options, disposition);
}

NTSTATUS OpenKey(const std::u16string& name, HANDLE* handle)
{
    UNICODE_STRING counted = Counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(handle, KEY_READ, &attributes);
}

NTSTATUS SetValue(HANDLE key, const std::u16string& name, ULONG type, const std::vector<uint8_t>& data)
{
    UNICODE_STRING counted = Counted(name);
    return ZwSetValueKey(key, &counted, 0, type, const_cast<uint8_t*>(data.data()), static_cast<ULONG>(data.size()));
}

NTSTATUS QueryValue(HANDLE key, const std::u16string& name, KEY_VALUE_INFORMATION_CLASS kind, void* buffer,
                    ULONG length, ULONG* resultLength)
{
    UNICODE_STRING counted = Counted(name);
    return ZwQueryValueKey(key, &counted, kind, buffer, length, resultLength);
}

using RegistryTest = KernelTest;

// A key is created once and found case-insensitively, by an absolute or a relative name; it is
// deleted once through any of its handles, not while it has subkeys or belongs to the system, and
// a deleted key's handles answer so until closed.
TEST_F(RegistryTest, AKeyIsCreatedOnceFoundCaseInsensitivelyAndDeletedOnce)
{
    HANDLE vendor, again, sub, opened, system, below;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(Software + u"\\Vendor", REG_OPTION_NON_VOLATILE, &vendor, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(CreateKey(u"\\registry\\Machine\\software\\VENDOR", REG_OPTION_VOLATILE, &again, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(km::QueryRegistryKey(Software + u"\\Vendor"), km::RegistryKeyState::NonVolatile)
        << "an existing key keeps its volatility";
    ASSERT_EQ(CreateKey(u"Sub", REG_OPTION_VOLATILE, &sub, &disposition, again), STATUS_SUCCESS);
    EXPECT_EQ(km::QueryRegistryKey(Software + u"\\vendor\\SUB"), km::RegistryKeyState::Volatile);
    EXPECT_EQ(OpenKey(u"\\REGISTRY\\MACHINE\\software\\vendor\\sub", &opened), STATUS_SUCCESS);
    EXPECT_EQ(OpenKey(Software + u"\\Vendor\\Absent", &below), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(OpenKey(u"\\REGISTRY\\MACHINE\\HARDWARE", &system), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(system), STATUS_CANNOT_DELETE);
    EXPECT_EQ(ZwDeleteKey(vendor), STATUS_CANNOT_DELETE) << "it has a subkey";
    EXPECT_EQ(ZwDeleteKey(sub), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(again), STATUS_SUCCESS);
    EXPECT_EQ(km::QueryRegistryKey(Software + u"\\Vendor"), km::RegistryKeyState::Absent);
    ULONG length;
    EXPECT_EQ(ZwDeleteKey(vendor), STATUS_KEY_DELETED) << "one key, two handles";
    EXPECT_EQ(SetValue(vendor, u"Value", REG_DWORD, km::RegistryDword(1)), STATUS_KEY_DELETED);
    EXPECT_EQ(QueryValue(vendor, u"Value", KeyValuePartialInformation, nullptr, 0, &length), STATUS_KEY_DELETED);
    EXPECT_EQ(CreateKey(u"Below", REG_OPTION_VOLATILE, &below, nullptr, vendor), STATUS_KEY_DELETED);
    for (HANDLE handle : {sub, again, vendor, opened, system}) {
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS) << "a deleted key's handle stays until closed";
    }
}

// A create refused for its name or options creates nothing.
TEST_F(RegistryTest, CreateRefusesBadNamesAndOptionsAndCreatesNothing)
{
    struct Refused {
        const char16_t* path;
        ULONG options;
        NTSTATUS expected;
    } cases[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Absent\\Key", 0, STATUS_OBJECT_NAME_NOT_FOUND},  // no parent
        {u"\\REGISTRY\\MACHINE\\HARDWARE\\Key", REG_OPTION_NON_VOLATILE, STATUS_CHILD_MUST_BE_VOLATILE},
        {u"MACHINE\\SOFTWARE\\Key", 0, STATUS_OBJECT_PATH_SYNTAX_BAD},  // relative without a root
        {u"\\REGISTRY\\MACHINE\\\\Key", 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\Device\\Key", 0, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Key", 0x100, STATUS_INVALID_PARAMETER},  // an unknown option
    };
    for (const Refused& c : cases) {
        HANDLE handle = nullptr;
        EXPECT_EQ(CreateKey(c.path, c.options, &handle), c.expected) << std::hex << c.expected;
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(km::QueryRegistryKey(c.path), km::RegistryKeyState::Absent);
    }
}

// A value named "Four" replaces another of the same name and is queried by another spelling. The
// answer is 12 bytes, then the data (partial information) or the name (basic information).
TEST_F(RegistryTest, AValueKeepsItsTypeAndDataAndTheAnswerFitsTheBuffer)
{
    const std::vector<uint8_t> dword = km::RegistryDword(0x11223344);
    struct Query {
        KEY_VALUE_INFORMATION_CLASS kind;
        ULONG type;
        std::vector<uint8_t> data;
        ULONG length;  // of the buffer
        NTSTATUS expected;
    } cases[] = {
        {KeyValuePartialInformation, REG_DWORD, dword, 0, STATUS_BUFFER_TOO_SMALL},
        {KeyValuePartialInformation, REG_DWORD, dword, 11, STATUS_BUFFER_TOO_SMALL},
        {KeyValuePartialInformation, REG_DWORD, dword, 12, STATUS_BUFFER_OVERFLOW},
        {KeyValuePartialInformation, REG_DWORD, dword, 15, STATUS_BUFFER_OVERFLOW},
        {KeyValuePartialInformation, REG_DWORD, dword, 16, STATUS_SUCCESS},
        {KeyValueBasicInformation, REG_DWORD, dword, 11, STATUS_BUFFER_TOO_SMALL},
        {KeyValueBasicInformation, REG_DWORD, dword, 19, STATUS_BUFFER_OVERFLOW},
        {KeyValueBasicInformation, REG_DWORD, dword, 20, STATUS_SUCCESS},
        {KeyValuePartialInformation, REG_SZ, km::RegistryString(u"text"), 22, STATUS_SUCCESS},
        {KeyValuePartialInformation, REG_EXPAND_SZ, km::RegistryString(u"\\SystemRoot\\x.sys"), 48, STATUS_SUCCESS},
        {KeyValuePartialInformation, REG_BINARY, {1, 2, 3}, 15, STATUS_SUCCESS},
        {KeyValuePartialInformation, REG_BINARY, {}, 12, STATUS_SUCCESS},
    };
    HANDLE key;
    ASSERT_EQ(CreateKey(Software + u"\\Values", REG_OPTION_VOLATILE, &key), STATUS_SUCCESS);
    std::vector<uint8_t> name = km::RegistryString(u"Four");
    name.resize(8);  // a value's name has no terminator
    ULONG length = 0;
    for (const Query& row : cases) {
        ASSERT_EQ(SetValue(key, u"Four", REG_SZ, km::RegistryString(u"replaced")), STATUS_SUCCESS);
        ASSERT_EQ(SetValue(key, u"Four", row.type, row.data), STATUS_SUCCESS);
        EXPECT_EQ(km::ReadRegistryValue(Software + u"\\Values", u"four")->data, row.data);
        constexpr uint8_t Untouched = 0xCD;
        std::vector<uint8_t> buffer(64, Untouched);
        EXPECT_EQ(QueryValue(key, u"FOUR", row.kind, buffer.data(), row.length, &length), row.expected) << row.length;
        const std::vector<uint8_t>& answer = row.kind == KeyValueBasicInformation ? name : row.data;
        EXPECT_EQ(length, 12 + answer.size()) << "the size needed";
        EXPECT_EQ(std::count(buffer.begin() + row.length, buffer.end(), Untouched), 64 - row.length)
            << "nothing written past the buffer";
        if (row.expected != STATUS_BUFFER_TOO_SMALL) {
            ULONG fixed[3];
            memcpy(fixed, buffer.data(), sizeof fixed);
            EXPECT_EQ(fixed[1], row.type);
            EXPECT_EQ(fixed[2], answer.size());
        }
        if (row.expected == STATUS_SUCCESS) {
            EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 12, buffer.begin() + row.length), answer);
        }
    }
    EXPECT_EQ(QueryValue(key, u"Other", KeyValuePartialInformation, nullptr, 0, &length), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

// Key handles follow the object manager's rules: typed, kernel handles out of user mode's reach,
// and one left open is reported. A restart keeps only the non-volatile keys, a fresh boot none.
TEST_F(RegistryTest, KeyHandlesFollowTheObjectManagersRulesAndARestartKeepsTheNonVolatileKeys)
{
    HANDLE key;
    ASSERT_EQ(CreateKey(Software + u"\\Handles", REG_OPTION_VOLATILE, &key), STATUS_SUCCESS);
    km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\NotAKey"});
    km::OpenResult file = km::OpenFile(u"\\Device\\NotAKey", true, GENERIC_READ, OBJ_KERNEL_HANDLE);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    EXPECT_EQ(SetValue(file.handle, u"Value", REG_DWORD, km::RegistryDword(1)), STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(file.handle);
    km::RunAsUser([&] {
        PVOID object;
        EXPECT_EQ(ObReferenceObjectByHandle(key, 0, nullptr, UserMode, &object, nullptr), STATUS_INVALID_HANDLE)
            << "a kernel handle";
    });
    km::WriteRegistryValue(Software + u"\\Kept", u"Count", REG_DWORD, km::RegistryDword(7));
    km::WriteRegistryValue(Software + u"\\Gone", u"Count", REG_DWORD, km::RegistryDword(8), true);
    EXPECT_THAT(km::Restart(Options()),
                ::testing::MatchesRegex("handles left open:\nhandle 0x[0-9a-f]+ of process 4 not closed: key "
                                        "\\\\REGISTRY\\\\MACHINE\\\\SOFTWARE\\\\Handles, [^\n]*\n"))
        << "nothing but the key handle";
    EXPECT_EQ(km::ReadRegistryValue(Software + u"\\Kept", u"Count")->data, km::RegistryDword(7));
    EXPECT_EQ(km::QueryRegistryKey(Software + u"\\Gone"), km::RegistryKeyState::Absent);
    EXPECT_EQ(km::QueryRegistryKey(u"\\REGISTRY\\MACHINE\\HARDWARE"), km::RegistryKeyState::Volatile)
        << "the system makes its volatile keys again";
    EXPECT_EQ(km::Shutdown(), "");
    km::Boot(Options());
    EXPECT_EQ(km::QueryRegistryKey(Software + u"\\Kept"), km::RegistryKeyState::Absent);
}

// A query routine that records each value it is given and fails for a value named "Stop".
NTSTATUS NTAPI RecordValue(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entryContext)
{
    auto* seen = static_cast<std::vector<std::pair<std::u16string, ULONG>>*>(context);
    seen->emplace_back(reinterpret_cast<char16_t*>(name), type);
    EXPECT_EQ(entryContext, context);
    EXPECT_TRUE(data != nullptr && length != 0);
    return std::u16string(reinterpret_cast<char16_t*>(name)) == u"Stop" ? STATUS_CANCELLED : STATUS_SUCCESS;
}

// RtlQueryRegistryValues: values stored directly (a DWORD, a string into an allocated or a given
// buffer), a default for a missing value, a query routine over every value, and the failures that
// end the walk (a required value, a missing key, a small buffer, the routine's own status).
TEST_F(RegistryTest, QueryRegistryValuesServesTheTableInOrderAndStopsAtTheFirstFailure)
{
    const std::u16string service = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QueryTest";
    km::WriteRegistryValue(service, u"Level", REG_DWORD, {7, 0, 0, 0}, true);
    km::WriteRegistryValue(service, u"Label", REG_SZ, {'a', 0, 'b', 0, 0, 0}, true);
    ULONG level = 0, fallback = 0, fallbackDefault = 5;
    UNICODE_STRING label{};
    std::vector<std::pair<std::u16string, ULONG>> seen;
    WCHAR levelName[] = u"Level", labelName[] = u"label", absentName[] = u"Absent";
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, levelName, &level, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, labelName, &label, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, absentName, &fallback, REG_DWORD, &fallbackDefault, sizeof(ULONG)},
        {RecordValue, 0, nullptr, &seen, REG_NONE, nullptr, 0},
        {},
    };
    auto query = [&](ULONG relativeTo, const std::u16string& path) {
        RtlFreeUnicodeString(&label);
        return RtlQueryRegistryValues(relativeTo, path.c_str(), table, &seen, nullptr);
    };
    ASSERT_EQ(query(RTL_REGISTRY_SERVICES, u"QueryTest"), STATUS_SUCCESS);
    EXPECT_EQ(level, 7u);
    EXPECT_EQ(FromCounted(label), u"ab");
    EXPECT_EQ(label.MaximumLength, 6);
    EXPECT_EQ(fallback, 5u);
    EXPECT_EQ(seen, (std::vector<std::pair<std::u16string, ULONG>>{{u"Level", REG_DWORD}, {u"Label", REG_SZ}}));

    // Failures: each answered as it stands, the entries before it served.
    WCHAR small[2];
    UNICODE_STRING tooSmall = {0, sizeof small, small};
    table[1].EntryContext = &tooSmall;
    EXPECT_EQ(query(RTL_REGISTRY_SERVICES, u"QueryTest"), STATUS_BUFFER_TOO_SMALL);
    table[1].EntryContext = &label;
    table[2].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    level = 0;
    EXPECT_EQ(query(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QueryTest"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(level, 7u) << "an absolute path reads the same key";
    EXPECT_EQ(query(RTL_REGISTRY_SERVICES, u"NoSuchService"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(query(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"NoSuchService"), STATUS_SUCCESS);
    km::WriteRegistryValue(service, u"Stop", REG_DWORD, {1, 0, 0, 0}, true);
    table[2].Flags &= ~RTL_QUERY_REGISTRY_REQUIRED;
    seen.clear();
    EXPECT_EQ(query(RTL_REGISTRY_SERVICES, u"QueryTest"), STATUS_CANCELLED);
    EXPECT_EQ(seen.size(), 3u);
    RtlFreeUnicodeString(&label);
}

}  // namespace
