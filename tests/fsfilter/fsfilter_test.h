// The file-system filter's tests: recording fast I/O tables, and the fixture: the host loaded
// after the model's standard file systems (or what a test starts in BeforeHost instead), a test
// module that registers through the command path (its fast I/O table a recorder, not linked), and
// views of what the attachment manager built. Each test ends with a check that the host holds no
// pool beyond one AttachRecord per recorded filter device, then the model's leak report.
#pragma once

#include <sstream>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "kmodel/fs_model.h"
#include "kmodel/steady_state.h"
#include "support/test_module.h"

// Recording fast I/O tables: each member notes its side (the module's table or the lower
// driver's), the member, its device-object arguments, whether every other argument arrived as the
// test sent it (made up by position, so a swapped or dropped argument shows), and the dispatch
// gate's count during the call; it returns TRUE or a status naming the member.
enum class FastIoSide { Module, Lower };

// X(FAST_IO_DISPATCH field, km::FastIoMember) for the 24 members that follow the forwarding rule.
#define FASTIO_FORWARDING_MEMBERS(X)                                                                              \
    X(FastIoCheckIfPossible, CheckIfPossible)                                                                     \
    X(FastIoRead, Read)                                                                                           \
    X(FastIoWrite, Write)                                                                                         \
    X(FastIoQueryBasicInfo, QueryBasicInfo) X(FastIoQueryStandardInfo, QueryStandardInfo) X(FastIoLock, Lock)     \
        X(FastIoUnlockSingle, UnlockSingle) X(FastIoUnlockAll, UnlockAll) X(FastIoUnlockAllByKey, UnlockAllByKey) \
            X(FastIoDeviceControl, DeviceControl) X(FastIoQueryNetworkOpenInfo, QueryNetworkOpenInfo)             \
                X(AcquireForModWrite, AcquireForModWrite) X(MdlRead, MdlRead) X(MdlReadComplete, MdlReadComplete) \
                    X(PrepareMdlWrite, PrepareMdlWrite) X(MdlWriteComplete, MdlWriteComplete)                     \
                        X(FastIoReadCompressed, ReadCompressed) X(FastIoWriteCompressed, WriteCompressed)         \
                            X(MdlReadCompleteCompressed, MdlReadCompleteCompressed)                               \
                                X(MdlWriteCompleteCompressed, MdlWriteCompleteCompressed)                         \
                                    X(FastIoQueryOpen, QueryOpen) X(ReleaseForModWrite, ReleaseForModWrite)       \
                                        X(AcquireForCcFlush, AcquireForCcFlush)                                   \
                                            X(ReleaseForCcFlush, ReleaseForCcFlush)
#define FASTIO_ALL_MEMBERS(X)                                       \
    FASTIO_FORWARDING_MEMBERS(X)                                    \
    X(AcquireFileForNtCreateSection, AcquireFileForNtCreateSection) \
    X(ReleaseFileForNtCreateSection, ReleaseFileForNtCreateSection) X(FastIoDetachDevice, DetachDevice)

// What the test sends besides the made-up values: the device, FastIoQueryOpen's IRP, a file.
struct FastIoArguments {
    PDEVICE_OBJECT device = nullptr;
    PIRP irp = nullptr;
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(0x7F000000);
};

// MdlRead and PrepareMdlWrite hand out their chain through this slot (the host reads it).
inline struct _MDL* MdlChainSlot = nullptr;

template <typename T>
T ArgumentValue(size_t position, const FastIoArguments& sent)
{
    if constexpr (std::is_same_v<T, struct _MDL**>) {
        return &MdlChainSlot;
    } else if constexpr (std::is_same_v<T, PDEVICE_OBJECT>) {
        return sent.device;
    } else if constexpr (std::is_same_v<T, PIRP>) {
        return sent.irp;
    } else if constexpr (std::is_same_v<T, PFILE_OBJECT>) {
        return sent.file;
    } else if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(static_cast<uintptr_t>(0x10000 + 0x100 * position));
    } else {
        return static_cast<T>(position + 1);
    }
}

struct FastIoSeen {
    FastIoSide side;
    km::FastIoMember member;
    std::vector<PDEVICE_OBJECT> devices;
    bool asSent = true;
    LONG inFlight = -1;
    PDEVICE_OBJECT stackDevice = nullptr;  // FastIoQueryOpen: the IRP's current stack location's device
};

// The calls recorded since the test last cleared them; one test thread at a time.
struct FastIoLog {
    HostGlobalsRecord* globals = nullptr;
    FastIoArguments sent;
    std::vector<FastIoSeen> seen;
};
inline FastIoLog Recorded;

inline int64_t HandledResult(bool status, km::FastIoMember member)
{
    return status ? 0x40000000 | static_cast<int64_t>(member) : TRUE;
}

template <FastIoSide Side, km::FastIoMember Member, typename Function>
struct FastIoRecorder;
template <FastIoSide Side, km::FastIoMember Member, typename R, typename... Args>
struct FastIoRecorder<Side, Member, R(Args...)> {
    static R NTAPI Call(Args... args)
    {
        FastIoSeen seen{Side, Member};
        // Fast I/O leaves no caller-visible trace of the dispatch gate during the call: read it.
        seen.inFlight = Recorded.globals->ModuleHost.DispatchInFlight;
        size_t position = 0;
        auto note = [&](auto value) {
            using T = decltype(value);
            if constexpr (std::is_same_v<T, PDEVICE_OBJECT>) {
                seen.devices.push_back(value);
            } else if constexpr (std::is_same_v<T, PIRP>) {
                seen.stackDevice = value->Tail.Overlay.CurrentStackLocation->DeviceObject;
            }
            if constexpr (!std::is_same_v<T, PDEVICE_OBJECT>) {
                seen.asSent = seen.asSent && value == ArgumentValue<T>(position, Recorded.sent);
            }
            position += 1;
        };
        (note(args), ...);
        Recorded.seen.push_back(seen);
        if constexpr (!std::is_void_v<R>) {
            return static_cast<R>(HandledResult(std::is_same_v<R, NTSTATUS>, Member));
        }
    }
};

template <FastIoSide Side>
FAST_IO_DISPATCH RecorderTable()
{
    FAST_IO_DISPATCH table{sizeof(FAST_IO_DISPATCH)};
#define FASTIO_RECORDER_SLOT(field, member) \
    table.field = &FastIoRecorder<Side, km::FastIoMember::member, std::remove_pointer_t<decltype(table.field)>>::Call;
    FASTIO_ALL_MEMBERS(FASTIO_RECORDER_SLOT)
#undef FASTIO_RECORDER_SLOT
    return table;
}

inline void ClearMember(FAST_IO_DISPATCH* table, km::FastIoMember member)
{
    std::memset(reinterpret_cast<uint8_t*>(table) + km::FastIoMemberOffset(member), 0, sizeof(void*));
}

// Calls a member with made-up arguments; its result as a number (0 for the VOID members).
template <typename R, typename... Args, size_t... Index>
int64_t InvokeWith(R (*routine)(Args...), const FastIoArguments& sent, std::index_sequence<Index...>)
{
    Recorded.sent = sent;
    if constexpr (std::is_void_v<R>) {
        routine(ArgumentValue<Args>(Index, sent)...);
        return 0;
    } else {
        return static_cast<int64_t>(routine(ArgumentValue<Args>(Index, sent)...));
    }
}
template <typename R, typename... Args>
int64_t Invoke(R (*routine)(Args...), const FastIoArguments& sent)
{
    return InvokeWith(routine, sent, std::index_sequence_for<Args...>{});
}

class FsFilterTest : public ModuleTest {
protected:
    std::unique_ptr<km::SteadyState> sinceSetUp;
    FAST_IO_DISPATCH moduleTable = RecorderTable<FastIoSide::Module>();
    bool LoadAtSetUp() const override { return false; }
    km::StandardFileSystems fileSystems{};
    virtual void BeforeHost() { fileSystems = km::StartStandardFileSystems(); }
    void SetUp() override
    {
        ModuleTest::SetUp();
        BeforeHost();
        ASSERT_EQ(LoadHost().status, STATUS_SUCCESS);
        OpenModule();
        ASSERT_TRUE(Accepted(module->Connect()));
        Recorded = FastIoLog{globals};
        Register(&moduleTable, false);
        sinceSetUp = std::make_unique<km::SteadyState>();
    }
    void TearDown() override
    {
        if (globals != nullptr) {
            EXPECT_EQ(km::OutstandingBlocks(DeviceListPoolTag), 0u);
            EXPECT_EQ(km::OutstandingBlocks(km::PoolTag("None")), Records().size()) << "untagged pool but records";
            EXPECT_EQ(UnexplainedHostState(), "") << "the host kept this across the test's requests";
        }
        ModuleTest::TearDown();
    }
    // What the host gained since SetUp beyond what a filtered volume keeps until its dismount (its
    // filter device, the host's reference on it, its record, counted above).
    std::string UnexplainedHostState() const
    {
        std::istringstream gained(sinceSetUp != nullptr ? sinceSetUp->End() : std::string());
        std::string unexplained;
        for (std::string line; std::getline(gained, line);) {
            bool host = line.rfind("driver \\Driver\\filterhost: ", 0) == 0;
            bool volume = line.find(": device ") != std::string::npos ||
                          line.find(": reference to device ") != std::string::npos ||
                          line.find(" 'None' of ") != std::string::npos;
            if (host && !volume) {
                unexplained += line + "\n";
            }
        }
        return unexplained;
    }
    // Registers the module's notifications and `fastIo` (command 23), linked or not.
    void Register(PFAST_IO_DISPATCH fastIo, bool link)
    {
        module->SetFastIo(fastIo);
        EXPECT_TRUE(Accepted(module->RegisterEntryPoints()));
        EXPECT_TRUE(Accepted(module->SetLink(link ? HOST_LINK_ON : HOST_LINK_OFF)));
    }
    std::vector<AttachRecord> Records()
    {
        std::vector<AttachRecord> records;
        // AttachedList is the attachment manager's own bookkeeping; no command reports it.
        PLIST_ENTRY head = &globals->FsFilter.AttachedList;
        for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
            records.push_back(*CONTAINING_RECORD(link, AttachRecord, Links));
        }
        return records;
    }
    // A record's filter, volume and storage devices, compared at once.
    static auto DevicesOf(const AttachRecord& record)
    {
        return std::tuple(record.FilterDevice, record.VolumeDevice, record.StorageDevice);
    }
    PDEVICE_OBJECT HostDeviceAbove(PDEVICE_OBJECT device)
    {
        PDEVICE_OBJECT above = device != nullptr ? device->AttachedDevice : nullptr;
        return above != nullptr && above->DriverObject == loaded.driver ? above : nullptr;
    }
    // The host's devices in the stack above `device` (and itself).
    std::vector<PDEVICE_OBJECT> HostDevicesIn(PDEVICE_OBJECT device)
    {
        std::vector<PDEVICE_OBJECT> found;
        for (; device != nullptr; device = device->AttachedDevice) {
            if (device->DriverObject == loaded.driver) {
                found.push_back(device);
            }
        }
        return found;
    }
};
