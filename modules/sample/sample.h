// The sample filter module's own device-control interface, for the programs that talk to it (a
// controller, a test) and for the module itself. The module's device is "\Device\<service name>",
// the name it was loaded under; besides these codes it answers the host's unload notice
// (IOCTL_MODULE_UNLOAD_NOTICE, filterhost/module.h) there.
//
// Volumes are named by their storage device ("\Device\HarddiskVolume1"), the device the host
// reports in AttachNotify. Needs only the C headers below, so user-mode programs include it alike.
#pragma once

#include <stdint.h>

// Device type FILE_DEVICE_UNKNOWN (0x22), METHOD_BUFFERED; functions 0x810 and up (0x800 and up
// are left to vendors; 0x801 and 0x802 would read like the host's own codes).
// Makes a volume read-only or writable again: SampleReadOnlyRequest in, nothing out. User-mode
// callers need SeLoadDriverPrivilege, enabled.
#define IOCTL_SAMPLE_SET_READ_ONLY 0x0022A040u  // function 0x810, FILE_WRITE_ACCESS
// What the module has seen: SampleStatusReply out, nothing in. Anyone who can open the device.
#define IOCTL_SAMPLE_QUERY_STATUS 0x00222044u  // function 0x811, FILE_ANY_ACCESS

// Volumes the module keeps counters for at once; a volume beyond them is not taken.
#define SAMPLE_MAX_VOLUMES 16u
// Characters of a storage device's name the module keeps and compares.
#define SAMPLE_VOLUME_NAME_CHARACTERS 64u

struct SampleReadOnlyRequest {
    uint16_t StorageName[SAMPLE_VOLUME_NAME_CHARACTERS];  // wide characters, no terminator needed
    uint32_t StorageNameBytes;                             // bytes of StorageName used
    uint32_t ReadOnly;                                     // 1: refuse writes; 0: allow them
};
static_assert(sizeof(SampleReadOnlyRequest) == 136, "read-only request layout");

struct SampleVolumeStatus {
    uint16_t StorageName[SAMPLE_VOLUME_NAME_CHARACTERS];
    uint32_t StorageNameBytes;
    uint32_t ReadOnly;
    uint32_t Requests;       // IRPs the host forwarded for the volume
    uint32_t FastIo;         // fast I/O calls the host forwarded for the volume
    uint32_t RefusedWrites;  // write IRPs completed with STATUS_MEDIA_WRITE_PROTECTED
    uint32_t DeclinedFastIo; // fast I/O writes declined (the I/O manager then sends an IRP)
};
static_assert(sizeof(SampleVolumeStatus) == 152, "volume status layout");

struct SampleStatusReply {
    uint32_t Build;           // which build of the module this is (SAMPLE_BUILD)
    uint32_t Linked;          // 1 while the module's entry points are registered with the host
    uint32_t ProcessNotifications;  // process creations and exits the host forwarded
    uint32_t ThreadNotifications;   // thread creations and exits the host forwarded
    uint32_t VolumeCount;     // entries of Volumes in use
    uint32_t Reserved;
    SampleVolumeStatus Volumes[SAMPLE_MAX_VOLUMES];
};
static_assert(sizeof(SampleStatusReply) == 24 + 152 * SAMPLE_MAX_VOLUMES, "status reply layout");
