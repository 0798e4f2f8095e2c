// Concurrency stress: the module's link and unlink, withdraw and register, override add and
// remove, a volume mounting and dismounting, and processes coming and going, all racing file
// requests (fast I/O first, then IRPs) and the notifications they cause, on several threads for a
// bounded time. The model's deadlock detection watches every lock taken meanwhile, so a lock
// order the host breaks on any path stops the run even where the threads never met; under TSan
// the run must also be free of data races. Each worker must make progress and the host must end
// serving requests.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "reliability_test.h"

namespace {

constexpr auto StressTime = std::chrono::seconds(3);
const std::u16string StressDisk = u"\\Device\\StressDisk";
const std::u16string StressFile = StressDisk + u"\\stress.txt";

class LockStressTest : public ModuleTest {
protected:
    bool LoadAtSetUp() const override { return false; }
    // Model time at the pace of real time: a gate's drain time-out must not pass merely because
    // the machine is loaded.
    km::BootOptions Options() const override { return km::BootOptions{}; }
};

// A step a model thread repeats until the time is up, counting its rounds.
struct Worker {
    const char* name;
    std::function<void()> step;
    std::atomic<uint64_t> rounds{0};
};

// A file request worker: open, read or write, query, close.
std::function<void()> FileRequests(bool write)
{
    return [write] {
        km::OpenResult opened = km::CreateFile(StressFile, FILE_OPEN);
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        char buffer[64] = {};
        km::FileIoResult io = write ? km::WriteFile(opened.handle, 0, buffer, sizeof buffer)
                                    : km::ReadFile(opened.handle, 0, buffer, sizeof buffer);
        EXPECT_TRUE(NT_SUCCESS(io.status) || io.status == STATUS_END_OF_FILE) << std::hex << io.status;
        km::QueryInformationFile(opened.handle, buffer, sizeof(FILE_STANDARD_INFORMATION), FileStandardInformation);
        EXPECT_EQ(ZwClose(opened.handle), STATUS_SUCCESS);
    };
}

TEST_F(LockStressTest, CommandsMountsAndRequestsRaceWithoutALockCycle)
{
    km::StartStandardFileSystems();
    km::CreateStorageDevice(km::StorageType::Disk, StressDisk);
    PDEVICE_OBJECT swapped = km::CreateStorageDevice(km::StorageType::Disk);
    ASSERT_EQ(LoadHost().status, STATUS_SUCCESS);
    OpenModule();
    ASSERT_TRUE(module->Link());
    km::OpenResult created = km::CreateFile(StressFile, FILE_OPEN_IF);
    ASSERT_EQ(created.status, STATUS_SUCCESS);
    ZwClose(created.handle);
    PDEVICE_OBJECT overrideKey = km::CreateModelDevice({});

    ConcurrentRequests concurrent;  // other threads' work would show in a request's steady state
    Worker workers[] = {
        {"link",
         [this] {
             EXPECT_TRUE(module->Unlink());  // SetLink 0, WithdrawEntryPoints
             EXPECT_TRUE(Accepted(module->RegisterEntryPoints()));
             EXPECT_TRUE(Accepted(module->RegisterNotifyForwarders()));
             EXPECT_TRUE(Accepted(module->SetLink(HOST_LINK_ON)));
         }},
        {"override",
         [this, overrideKey] {
             EXPECT_TRUE(Accepted(module->Send(
                 CommandBlock(HostCommandAddOverride, {Address(overrideKey), Address(CompletingHandler), 0}))));
             EXPECT_TRUE(Accepted(module->Send(CommandBlock(HostCommandRemoveOverride, {Address(overrideKey)}))));
         }},
        {"mount",
         [swapped] {
             EXPECT_EQ(km::MountVolume(swapped), STATUS_SUCCESS);
             EXPECT_EQ(km::DismountVolume(swapped), STATUS_SUCCESS);
         }},
        {"process", [] { km::ExitProcess(km::CreateProcess("stress.exe")); }},
        {"reader", FileRequests(false)},
        {"writer", FileRequests(true)},
    };
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<ModelThread>> threads;
    for (Worker& worker : workers) {
        threads.push_back(std::make_unique<ModelThread>([&worker, &stop] {
            while (!stop.load()) {
                worker.step();
                worker.rounds += 1;
            }
        }));
    }
    std::this_thread::sleep_for(StressTime);
    stop = true;
    threads.clear();  // joins them
    for (const Worker& worker : workers) {
        EXPECT_GT(worker.rounds.load(), 0u) << worker.name << " made no progress";
        std::printf("%-8s %6llu rounds\n", worker.name, (unsigned long long)worker.rounds.load());
    }
    EXPECT_TRUE(Accepted(module->SetLink(HOST_LINK_ON)));
    EXPECT_EQ(Kernel(IOCTL_HOST_QUERY_VERSION, {}, sizeof(HostVersionReply)).status, STATUS_SUCCESS);
}

}  // namespace
