// The file-system filter's fixture: the host loaded after the model file systems a test starts
// in BeforeHost, a test module that registers through the command path, and views of what the
// attachment manager built. Each test ends with a check that the host holds no pool beyond one
// AttachRecord per recorded filter device, then the model's leak report.
#pragma once

#include <sstream>
#include <vector>

#include "kmodel/fs_model.h"
#include "kmodel/steady_state.h"
#include "support/test_module.h"

class FsFilterTest : public ModuleTest {
protected:
    std::unique_ptr<km::SteadyState> sinceSetUp;
    bool LoadAtSetUp() const override { return false; }
    virtual void BeforeHost() {}
    void SetUp() override
    {
        ModuleTest::SetUp();
        BeforeHost();
        ASSERT_EQ(LoadHost().status, STATUS_SUCCESS);
        OpenModule();
        ASSERT_TRUE(Accepted(module->Connect()));
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
