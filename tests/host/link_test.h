// The fixture of the link's tests: the host loaded, and a test module with a kernel handle on the
// control device, ready to send the module's commands. Volumes are a model file-system device with
// a host filter device on top, recorded in AttachedList.
#pragma once

#include "driver/driver.h"
#include "support/test_module.h"

// A recorded volume: the file system's volume device below the host's filter device.
struct TestVolume {
    PDEVICE_OBJECT volume = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    PDEVICE_OBJECT storage = nullptr;
    AttachRecord* record = nullptr;
};

class LinkTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        if (!HasFatalFailure()) {
            OpenModule();
        }
    }

    TestVolume AddVolume(DEVICE_TYPE type = FILE_DEVICE_DISK_FILE_SYSTEM)
    {
        TestVolume volume;
        volume.volume = km::CreateModelDevice({type});
        volume.storage = km::CreateModelDevice({FILE_DEVICE_DISK});
        volume.filter = CreateHostDevice(type, volume.volume);
        volume.record = RecordFilterDevice(volume.filter, volume.volume, volume.storage);
        return volume;
    }

    // The start of the forwarding and gate tests: one recorded volume, the module connected with
    // its entry points and forwarders registered, and linked when `link` says so.
    void StartWithVolume(bool link)
    {
        if (HasFatalFailure()) {
            return;
        }
        startVolume = AddVolume();
        ASSERT_TRUE(Accepted(module->Connect()));
        ASSERT_TRUE(Accepted(module->RegisterEntryPoints()));
        ASSERT_TRUE(Accepted(module->RegisterNotifyForwarders()));
        ASSERT_TRUE(Accepted(module->SetLink(link ? HOST_LINK_ON : HOST_LINK_OFF)));
        module->ClearCalls();
    }

    // Unloading shows only while an unload waits, and Linked()'s probe would change it: read it.
    LONG LinkState() const { return globals->ModuleHost.LinkState; }
    void NotifyAttach(AttachRecord* record)
    {
        Symbol<decltype(FsFilterNotifyAttach)>("FsFilterNotifyAttach")(record);
    }

    TestVolume startVolume;
};
