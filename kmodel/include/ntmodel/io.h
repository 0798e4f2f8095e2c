// I/O manager (Io), object manager (Ob), security (Se) and the Zw/Nt file services: driver and
// device objects, IRPs with stack locations, file objects, VPBs and the fast I/O table, with the
// x64 layouts of the DDK.
#pragma once

#include "ex.h"
#include "ps.h"
#include "rtl.h"

typedef SHORT CSHORT;
typedef ULONG DEVICE_TYPE;
#define POINTER_ALIGNMENT __attribute__((aligned(8)))

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _FILE_OBJECT;
struct _VPB;
struct _MDL;
struct _ERESOURCE;
struct _COMPRESSED_DATA_INFO;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "x64 layout");

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "x64 layout");

#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = nullptr;  \
    } while (0)

typedef NTSTATUS(NTAPI DRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS(NTAPI DRIVER_INITIALIZE)(struct _DRIVER_OBJECT* DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef void(NTAPI DRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef void(NTAPI DRIVER_STARTIO)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_STARTIO* PDRIVER_STARTIO;
typedef void(NTAPI DRIVER_CANCEL)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS(NTAPI IO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

// ---- Fast I/O ---------------------------------------------------------------------------------

typedef enum _FILE_INFORMATION_CLASS {
    FileDirectoryInformation = 1,
    FileBasicInformation = 4,
    FileStandardInformation = 5,
    FilePositionInformation = 14,
    FileEndOfFileInformation = 20,
    FileNetworkOpenInformation = 34,
} FILE_INFORMATION_CLASS;

typedef enum _FS_INFORMATION_CLASS { FileFsVolumeInformation = 1, FileFsSizeInformation = 3 } FS_INFORMATION_CLASS;

typedef struct _FILE_BASIC_INFORMATION {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    ULONG FileAttributes;
} FILE_BASIC_INFORMATION, *PFILE_BASIC_INFORMATION;

typedef struct _FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
} FILE_STANDARD_INFORMATION, *PFILE_STANDARD_INFORMATION;

typedef struct _FILE_NETWORK_OPEN_INFORMATION {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG FileAttributes;
} FILE_NETWORK_OPEN_INFORMATION, *PFILE_NETWORK_OPEN_INFORMATION;

typedef BOOLEAN(NTAPI FAST_IO_CHECK_IF_POSSIBLE)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                                 ULONG Length, BOOLEAN Wait, ULONG LockKey, BOOLEAN CheckForReadOperation,
                                                 PIO_STATUS_BLOCK IoStatus, struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_READ)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                    BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                                    struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_WRITE)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                     BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                                     struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_QUERY_BASIC_INFO)(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                                PFILE_BASIC_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus,
                                                struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_QUERY_STANDARD_INFO)(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                                   PFILE_STANDARD_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus,
                                                   struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_LOCK)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                                    PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock,
                                    PIO_STATUS_BLOCK IoStatus, struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_UNLOCK_SINGLE)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                             PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key,
                                             PIO_STATUS_BLOCK IoStatus, struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_UNLOCK_ALL)(struct _FILE_OBJECT* FileObject, PEPROCESS ProcessId,
                                          PIO_STATUS_BLOCK IoStatus, struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_UNLOCK_ALL_BY_KEY)(struct _FILE_OBJECT* FileObject, PVOID ProcessId, ULONG Key,
                                                 PIO_STATUS_BLOCK IoStatus, struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_DEVICE_CONTROL)(struct _FILE_OBJECT* FileObject, BOOLEAN Wait, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              ULONG IoControlCode, PIO_STATUS_BLOCK IoStatus,
                                              struct _DEVICE_OBJECT* DeviceObject);
typedef void(NTAPI FAST_IO_ACQUIRE_FILE)(struct _FILE_OBJECT* FileObject);
typedef void(NTAPI FAST_IO_RELEASE_FILE)(struct _FILE_OBJECT* FileObject);
typedef void(NTAPI FAST_IO_DETACH_DEVICE)(struct _DEVICE_OBJECT* SourceDevice, struct _DEVICE_OBJECT* TargetDevice);
typedef BOOLEAN(NTAPI FAST_IO_QUERY_NETWORK_OPEN_INFO)(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                                       PFILE_NETWORK_OPEN_INFORMATION Buffer,
                                                       PIO_STATUS_BLOCK IoStatus, struct _DEVICE_OBJECT* DeviceObject);
typedef NTSTATUS(NTAPI FAST_IO_ACQUIRE_FOR_MOD_WRITE)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER EndingOffset,
                                                      struct _ERESOURCE** ResourceToRelease,
                                                      struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_MDL_READ)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                        ULONG LockKey, struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus,
                                        struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_MDL_READ_COMPLETE)(struct _FILE_OBJECT* FileObject, struct _MDL* MdlChain,
                                                 struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_PREPARE_MDL_WRITE)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                                 ULONG Length, ULONG LockKey, struct _MDL** MdlChain,
                                                 PIO_STATUS_BLOCK IoStatus, struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_MDL_WRITE_COMPLETE)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                                  struct _MDL* MdlChain, struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_READ_COMPRESSED)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                               ULONG Length, ULONG LockKey, PVOID Buffer, struct _MDL** MdlChain,
                                               PIO_STATUS_BLOCK IoStatus,
                                               struct _COMPRESSED_DATA_INFO* CompressedDataInfo,
                                               ULONG CompressedDataInfoLength, struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_WRITE_COMPRESSED)(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                                ULONG Length, ULONG LockKey, PVOID Buffer, struct _MDL** MdlChain,
                                                PIO_STATUS_BLOCK IoStatus,
                                                struct _COMPRESSED_DATA_INFO* CompressedDataInfo,
                                                ULONG CompressedDataInfoLength, struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_MDL_READ_COMPLETE_COMPRESSED)(struct _FILE_OBJECT* FileObject, struct _MDL* MdlChain,
                                                            struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_MDL_WRITE_COMPLETE_COMPRESSED)(struct _FILE_OBJECT* FileObject,
                                                             PLARGE_INTEGER FileOffset, struct _MDL* MdlChain,
                                                             struct _DEVICE_OBJECT* DeviceObject);
typedef BOOLEAN(NTAPI FAST_IO_QUERY_OPEN)(struct _IRP* Irp, PFILE_NETWORK_OPEN_INFORMATION NetworkInformation,
                                          struct _DEVICE_OBJECT* DeviceObject);
typedef NTSTATUS(NTAPI FAST_IO_RELEASE_FOR_MOD_WRITE)(struct _FILE_OBJECT* FileObject,
                                                      struct _ERESOURCE* ResourceToRelease,
                                                      struct _DEVICE_OBJECT* DeviceObject);
typedef NTSTATUS(NTAPI FAST_IO_ACQUIRE_FOR_CCFLUSH)(struct _FILE_OBJECT* FileObject,
                                                    struct _DEVICE_OBJECT* DeviceObject);
typedef NTSTATUS(NTAPI FAST_IO_RELEASE_FOR_CCFLUSH)(struct _FILE_OBJECT* FileObject,
                                                    struct _DEVICE_OBJECT* DeviceObject);

typedef struct _FAST_IO_DISPATCH {
    ULONG SizeOfFastIoDispatch;
    FAST_IO_CHECK_IF_POSSIBLE* FastIoCheckIfPossible;
    FAST_IO_READ* FastIoRead;
    FAST_IO_WRITE* FastIoWrite;
    FAST_IO_QUERY_BASIC_INFO* FastIoQueryBasicInfo;
    FAST_IO_QUERY_STANDARD_INFO* FastIoQueryStandardInfo;
    FAST_IO_LOCK* FastIoLock;
    FAST_IO_UNLOCK_SINGLE* FastIoUnlockSingle;
    FAST_IO_UNLOCK_ALL* FastIoUnlockAll;
    FAST_IO_UNLOCK_ALL_BY_KEY* FastIoUnlockAllByKey;
    FAST_IO_DEVICE_CONTROL* FastIoDeviceControl;
    FAST_IO_ACQUIRE_FILE* AcquireFileForNtCreateSection;
    FAST_IO_RELEASE_FILE* ReleaseFileForNtCreateSection;
    FAST_IO_DETACH_DEVICE* FastIoDetachDevice;
    FAST_IO_QUERY_NETWORK_OPEN_INFO* FastIoQueryNetworkOpenInfo;
    FAST_IO_ACQUIRE_FOR_MOD_WRITE* AcquireForModWrite;
    FAST_IO_MDL_READ* MdlRead;
    FAST_IO_MDL_READ_COMPLETE* MdlReadComplete;
    FAST_IO_PREPARE_MDL_WRITE* PrepareMdlWrite;
    FAST_IO_MDL_WRITE_COMPLETE* MdlWriteComplete;
    FAST_IO_READ_COMPRESSED* FastIoReadCompressed;
    FAST_IO_WRITE_COMPRESSED* FastIoWriteCompressed;
    FAST_IO_MDL_READ_COMPLETE_COMPRESSED* MdlReadCompleteCompressed;
    FAST_IO_MDL_WRITE_COMPLETE_COMPRESSED* MdlWriteCompleteCompressed;
    FAST_IO_QUERY_OPEN* FastIoQueryOpen;
    FAST_IO_RELEASE_FOR_MOD_WRITE* ReleaseForModWrite;
    FAST_IO_ACQUIRE_FOR_CCFLUSH* AcquireForCcFlush;
    FAST_IO_RELEASE_FOR_CCFLUSH* ReleaseForCcFlush;
} FAST_IO_DISPATCH, *PFAST_IO_DISPATCH;
static_assert(sizeof(FAST_IO_DISPATCH) == 224, "x64 layout: a size word and 27 members");
static_assert(offsetof(FAST_IO_DISPATCH, FastIoRead) == 16, "x64 layout");
static_assert(offsetof(FAST_IO_DISPATCH, FastIoDetachDevice) == 104, "x64 layout");
static_assert(offsetof(FAST_IO_DISPATCH, FastIoQueryOpen) == 192, "x64 layout");
static_assert(offsetof(FAST_IO_DISPATCH, ReleaseForCcFlush) == 216, "x64 layout");

// ---- Driver, device and file objects ----------------------------------------------------------

#define IO_TYPE_DRIVER 4
#define IO_TYPE_DEVICE 3
#define IO_TYPE_IRP 6
#define IO_TYPE_FILE 5
#define IO_TYPE_VPB 10

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_USER_FS_REQUEST 0x00
#define IRP_MN_MOUNT_VOLUME 0x01
#define IRP_MN_VERIFY_VOLUME 0x02
#define IRP_MN_LOAD_FILE_SYSTEM 0x03

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PVOID AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PFAST_IO_DISPATCH FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;
static_assert(sizeof(DRIVER_OBJECT) == 0x150, "x64 layout");
static_assert(offsetof(DRIVER_OBJECT, DriverName) == 0x38, "x64 layout");
static_assert(offsetof(DRIVER_OBJECT, FastIoDispatch) == 0x50, "x64 layout");
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 0x70, "x64 layout");

#define VPB_MOUNTED 0x0001
#define VPB_LOCKED 0x0002
#define MAXIMUM_VOLUME_LABEL_LENGTH (32 * sizeof(WCHAR))

typedef struct _VPB {
    CSHORT Type;
    CSHORT Size;
    USHORT Flags;
    USHORT VolumeLabelLength;
    struct _DEVICE_OBJECT* DeviceObject;
    struct _DEVICE_OBJECT* RealDevice;
    ULONG SerialNumber;
    ULONG ReferenceCount;
    WCHAR VolumeLabel[MAXIMUM_VOLUME_LABEL_LENGTH / sizeof(WCHAR)];
} VPB, *PVPB;
static_assert(sizeof(VPB) == 0x60, "x64 layout");

// Aligned to the pool allocation granularity, as the DDK declares it.
typedef struct alignas(16) _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVPB volatile Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    union {
        LIST_ENTRY ListEntry;
        UCHAR Wcb[0x48];
    } Queue;
    ULONG AlignmentRequirement;
    ULONGLONG DeviceQueue[0x28 / 8];
    ULONGLONG Dpc[0x40 / 8];
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    struct _DEVOBJ_EXTENSION* DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;
static_assert(sizeof(DEVICE_OBJECT) == 0x150, "x64 layout");
static_assert(offsetof(DEVICE_OBJECT, Flags) == 0x30, "x64 layout");
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 0x40, "x64 layout");
static_assert(offsetof(DEVICE_OBJECT, DeviceType) == 0x48, "x64 layout");
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 0x4c, "x64 layout");
static_assert(offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 0x138, "x64 layout");
static_assert(offsetof(DEVICE_OBJECT, DeviceLock) == 0x118, "x64 layout");

// Device types.
#define FILE_DEVICE_CD_ROM 0x00000002
#define FILE_DEVICE_CD_ROM_FILE_SYSTEM 0x00000003
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_DISK_FILE_SYSTEM 0x00000008
#define FILE_DEVICE_FILE_SYSTEM 0x00000009
#define FILE_DEVICE_NETWORK_FILE_SYSTEM 0x00000014
#define FILE_DEVICE_TAPE 0x0000001f
#define FILE_DEVICE_TAPE_FILE_SYSTEM 0x00000020
#define FILE_DEVICE_UNKNOWN 0x00000022

// Device flags.
#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_HAS_NAME 0x00000040
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_SUPPORTS_TRANSACTIONS 0x00040000
#define DO_POWER_PAGABLE 0x00002000

// Device characteristics.
#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_READ_ONLY_DEVICE 0x00000002
#define FILE_REMOTE_DEVICE 0x00000010
#define FILE_DEVICE_SECURE_OPEN 0x00000100

typedef struct _SECTION_OBJECT_POINTERS {
    PVOID DataSectionObject;
    PVOID SharedCacheMap;
    PVOID ImageSectionObject;
} SECTION_OBJECT_POINTERS, *PSECTION_OBJECT_POINTERS;

typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVPB Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PSECTION_OBJECT_POINTERS SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    volatile ULONG Waiters;
    volatile ULONG Busy;
    PVOID LastLock;
    KEVENT Lock;
    KEVENT Event;
    PVOID CompletionContext;
    KSPIN_LOCK IrpListLock;
    LIST_ENTRY IrpList;
    PVOID FileObjectExtension;
} FILE_OBJECT, *PFILE_OBJECT;
static_assert(sizeof(FILE_OBJECT) == 0xd8, "x64 layout");
static_assert(offsetof(FILE_OBJECT, FileName) == 0x58, "x64 layout");

#define FO_SYNCHRONOUS_IO 0x00000002
#define FO_DIRECT_DEVICE_OPEN 0x00000800

// ---- IRPs -------------------------------------------------------------------------------------

typedef struct _IO_SECURITY_CONTEXT {
    PVOID SecurityQos;
    PVOID AccessState;
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PIO_SECURITY_CONTEXT SecurityContext;
            ULONG Options;
            USHORT POINTER_ALIGNMENT FileAttributes;
            USHORT ShareAccess;
            ULONG POINTER_ALIGNMENT EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT Key;
            ULONG Flags;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT Key;
            ULONG Flags;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG Length;
            FILE_INFORMATION_CLASS POINTER_ALIGNMENT FileInformationClass;
        } QueryFile;
        struct {
            ULONG Length;
            FILE_INFORMATION_CLASS POINTER_ALIGNMENT FileInformationClass;
            PFILE_OBJECT FileObject;
            union {
                struct {
                    BOOLEAN ReplaceIfExists;
                    BOOLEAN AdvanceOnly;
                };
                ULONG ClusterCount;
                HANDLE DeleteHandle;
            };
        } SetFile;
        struct {
            ULONG Length;
            FS_INFORMATION_CLASS POINTER_ALIGNMENT FsInformationClass;
        } QueryVolume;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
            PVOID Type3InputBuffer;
        } FileSystemControl;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVPB Vpb;
            PDEVICE_OBJECT DeviceObject;
        } MountVolume;
        struct {
            PVPB Vpb;
            PDEVICE_OBJECT DeviceObject;
        } VerifyVolume;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
static_assert(sizeof(IO_STACK_LOCATION) == 0x48, "x64 layout");
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8, "x64 layout");
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 0x28, "x64 layout");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 0x18, "x64 layout");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 0x18, "x64 layout");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Create.EaLength) == 0x20, "x64 layout");

// Stack-location Control bits.
#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    struct _MDL* MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        volatile LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL volatile CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                UCHAR DeviceQueueEntry[0x18];
                PVOID DriverContext[4];
            };
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    struct _IO_STACK_LOCATION* CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            struct _FILE_OBJECT* OriginalFileObject;
        } Overlay;
        UCHAR Apc[0x58];
        PVOID CompletionKey;
    } Tail;
} IRP, *PIRP;
static_assert(sizeof(IRP) == 0xd0, "x64 layout");
static_assert(offsetof(IRP, IoStatus) == 0x30, "x64 layout");
static_assert(offsetof(IRP, RequestorMode) == 0x40, "x64 layout");
static_assert(offsetof(IRP, UserBuffer) == 0x70, "x64 layout");
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0xb8, "x64 layout");

#define IRP_BUFFERED_IO 0x00000010
#define IRP_DEALLOCATE_BUFFER 0x00000020
// IRP AllocationFlags.
#define IRP_QUOTA_CHARGED 0x01
#define IRP_ALLOCATED_MUST_SUCCEED 0x02
#define IRP_ALLOCATED_FIXED_SIZE 0x04
#define IRP_LOOKASIDE_ALLOCATION 0x08
#define IRP_INPUT_OPERATION 0x00000040
#define IRP_NOCACHE 0x00000001
#define IRP_SYNCHRONOUS_API 0x00000004
#define IRP_CLOSE_OPERATION 0x00000400
#define IRP_CREATE_OPERATION 0x00000080
#define IRP_MOUNT_COMPLETION 0x00000002
#define IRP_SYNCHRONOUS_PAGING_IO 0x00000040
#define IRP_WRITE_OPERATION 0x00000200
#define IRP_READ_OPERATION 0x00000800

// ---- Control codes ----------------------------------------------------------------------------

#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ControlCode) (((ULONG)((ControlCode)&0xffff0000)) >> 16)
#define METHOD_FROM_CTL_CODE(ControlCode) ((ULONG)((ControlCode)&3))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

// File-system control codes.
#define FSCTL_LOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_DISMOUNT_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)

// ---- Access, share and create options -----------------------------------------------------------

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define SYNCHRONIZE 0x00100000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_ALL 0x10000000L
#define GENERIC_EXECUTE 0x20000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_ALL_ACCESS 0x001F01FFL
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_GENERIC_READ (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE                                                                             \
    (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | FILE_APPEND_DATA | \
     SYNCHRONIZE)
#define FILE_GENERIC_EXECUTE (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE)
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020

// IoStatus.Information of a create.
#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002
#define FILE_OVERWRITTEN 0x00000003
#define FILE_EXISTS 0x00000004
#define FILE_DOES_NOT_EXIST 0x00000005

// ByteOffset of a read or write: the file's current position (synchronous files), end of file.
#define FILE_USE_FILE_POINTER_POSITION 0xfffffffe
#define FILE_WRITE_TO_END_OF_FILE 0xffffffff

typedef struct _KAPC_STATE* PRKAPC_STATE;
typedef void(NTAPI* PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

// ---- Object names ---------------------------------------------------------------------------------

typedef struct _OBJECT_NAME_INFORMATION {
    UNICODE_STRING Name;
} OBJECT_NAME_INFORMATION, *POBJECT_NAME_INFORMATION;

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;

#define SE_MIN_WELL_KNOWN_PRIVILEGE 2L
#define SE_CREATE_TOKEN_PRIVILEGE 2L
#define SE_TCB_PRIVILEGE 7L
#define SE_SECURITY_PRIVILEGE 8L
#define SE_LOAD_DRIVER_PRIVILEGE 10L
#define SE_BACKUP_PRIVILEGE 17L
#define SE_RESTORE_PRIVILEGE 18L
#define SE_SHUTDOWN_PRIVILEGE 19L
#define SE_DEBUG_PRIVILEGE 20L
#define SE_CHANGE_NOTIFY_PRIVILEGE 23L
#define SE_MAX_WELL_KNOWN_PRIVILEGE 36L

// Object types, as the kernel exports them (compared by address).
typedef struct _OBJECT_TYPE* POBJECT_TYPE;

#ifndef STATUS_NO_TOKEN
#define STATUS_NO_TOKEN ((NTSTATUS)0xC000007CL)
#endif
#ifndef STATUS_NOT_ALL_ASSIGNED
#define STATUS_NOT_ALL_ASSIGNED ((NTSTATUS)0x00000106L)
#endif
#ifndef INVALID_KERNEL_HANDLE
#define INVALID_KERNEL_HANDLE 0x00000093UL
#endif

extern "C" {

// Devices and drivers.
// Symbolic links in the object name space (\DosDevices is a link to \??). PASSIVE_LEVEL.
NTSYSAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSYSAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTSYSAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                       PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                       ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject);
NTSYSAPI void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSYSAPI PDEVICE_OBJECT NTAPI IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject);
NTSYSAPI PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
NTSYSAPI PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
NTSYSAPI PDEVICE_OBJECT NTAPI IoGetDeviceAttachmentBaseRef(PDEVICE_OBJECT DeviceObject);
NTSYSAPI NTSTATUS NTAPI IoGetDiskDeviceObject(PDEVICE_OBJECT FileSystemDeviceObject, PDEVICE_OBJECT* DiskDeviceObject);
NTSYSAPI NTSTATUS NTAPI IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                                        PDEVICE_OBJECT* AttachedToDeviceObject);
NTSYSAPI PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
NTSYSAPI void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);
NTSYSAPI NTSTATUS NTAPI IoEnumerateDeviceObjectList(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObjectList,
                                                    ULONG DeviceObjectListSize, PULONG ActualNumberDeviceObjects);
NTSYSAPI PEPROCESS NTAPI IoGetCurrentProcess(void);
NTSYSAPI PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject);

// IRPs.
NTSYSAPI PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
NTSYSAPI void NTAPI IoFreeIrp(PIRP Irp);
NTSYSAPI NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSYSAPI void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
NTSYSAPI PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                  PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                                  ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                  PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);

// File-system registration.
typedef void(NTAPI DRIVER_FS_NOTIFICATION)(PDEVICE_OBJECT DeviceObject, BOOLEAN FsActive);
typedef DRIVER_FS_NOTIFICATION* PDRIVER_FS_NOTIFICATION;
NTSYSAPI void NTAPI IoRegisterFileSystem(PDEVICE_OBJECT DeviceObject);
NTSYSAPI void NTAPI IoUnregisterFileSystem(PDEVICE_OBJECT DeviceObject);
NTSYSAPI NTSTATUS NTAPI IoRegisterFsRegistrationChange(PDRIVER_OBJECT DriverObject,
                                                       PDRIVER_FS_NOTIFICATION DriverNotificationRoutine);
NTSYSAPI void NTAPI IoUnregisterFsRegistrationChange(PDRIVER_OBJECT DriverObject,
                                                     PDRIVER_FS_NOTIFICATION DriverNotificationRoutine);

// Objects.
NTSYSAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
NTSYSAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
NTSYSAPI NTSTATUS NTAPI ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                                          PULONG ReturnLength);
extern NTSYSAPI POBJECT_TYPE* IoFileObjectType;
extern NTSYSAPI POBJECT_TYPE* IoDeviceObjectType;
extern NTSYSAPI POBJECT_TYPE* IoDriverObjectType;
NTSYSAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, PVOID ObjectType,
                                                  KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation);
// Exported by the kernel (declared in ntifs.h): references the object of that full name. The model
// serves kernel-mode lookups of named objects (drivers, devices); Attributes, PassedAccessState,
// DesiredAccess and ParseContext are not used.
// Work items: IoQueueWorkItem runs the routine on a system worker thread at PASSIVE_LEVEL, with
// the device referenced until it returns (the routine may free or queue the item again). IRQL <=
// DISPATCH_LEVEL. Queuing an item that is queued, freeing one that is queued, and unloading the
// driver whose routine is queued are bug checks (the unload waits for one that is running); a
// routine returning above PASSIVE_LEVEL is WORKER_THREAD_RETURNED_AT_BAD_IRQL.
typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;
typedef struct _IO_WORKITEM* PIO_WORKITEM;
typedef void(NTAPI IO_WORKITEM_ROUTINE)(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
NTSYSAPI PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
NTSYSAPI void NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                    WORK_QUEUE_TYPE QueueType, PVOID Context);
NTSYSAPI void NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

// A handle to an object the caller holds a pointer to (OBJ_KERNEL_HANDLE: in the System
// process's table); STATUS_OBJECT_TYPE_MISMATCH when ObjectType is given and differs.
NTSYSAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PVOID PassedAccessState,
                                              ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PHANDLE Handle);
// The process of the thread that asked for the IRP; null when the IRP names no thread.
NTSYSAPI PEPROCESS NTAPI IoGetRequestorProcess(PIRP Irp);
NTSYSAPI NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING ObjectName, ULONG Attributes,
                                                PVOID PassedAccessState, ACCESS_MASK DesiredAccess,
                                                POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                PVOID ParseContext, PVOID* Object);

// Security.
NTSYSAPI BOOLEAN NTAPI SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode);
NTSYSAPI KPROCESSOR_MODE NTAPI ExGetPreviousMode(void);
// ntdll's routine: enables or disables a privilege the process token (or with CurrentThread the
// thread's impersonation token) holds; STATUS_PRIVILEGE_NOT_HELD when the token lacks it.
NTSYSAPI NTSTATUS NTAPI RtlAdjustPrivilege(ULONG Privilege, BOOLEAN Enable, BOOLEAN CurrentThread,
                                           PBOOLEAN WasEnabled);

// File services. Zw* calls come from kernel mode (previous mode KernelMode); Nt* calls take the
// previous mode of the calling thread (UserMode for a thread of a user process).
NTSYSAPI NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                     ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                                     ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSYSAPI NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                     ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                                     ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSYSAPI NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                   PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions);
NTSYSAPI NTSTATUS NTAPI NtClose(HANDLE Handle);
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);
// Event objects by handle and waits by handle, from kernel mode at PASSIVE_LEVEL.
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x001F0003L
NTSYSAPI NTSTATUS NTAPI ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType, BOOLEAN InitialState);
NTSYSAPI NTSTATUS NTAPI ZwSetEvent(HANDLE EventHandle, PLONG PreviousState);
NTSYSAPI NTSTATUS NTAPI ZwClearEvent(HANDLE EventHandle);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
// ZwDuplicateObject's Options.
#define DUPLICATE_CLOSE_SOURCE 0x00000001
#define DUPLICATE_SAME_ACCESS 0x00000002
#define DUPLICATE_SAME_ATTRIBUTES 0x00000004
// Duplicates a handle of the current process (NtCurrentProcess() as both process handles); a
// kernel handle with OBJ_KERNEL_HANDLE in HandleAttributes.
NTSYSAPI NTSTATUS NTAPI ZwDuplicateObject(HANDLE SourceProcessHandle, HANDLE SourceHandle,
                                          HANDLE TargetProcessHandle, PHANDLE TargetHandle,
                                          ACCESS_MASK DesiredAccess, ULONG HandleAttributes, ULONG Options);
NTSYSAPI NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                              PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode,
                                              PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                              ULONG OutputBufferLength);
NTSYSAPI NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                              PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode,
                                              PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                              ULONG OutputBufferLength);
NTSYSAPI NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                   PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER ByteOffset, PULONG Key);
NTSYSAPI NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                   PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER ByteOffset, PULONG Key);
NTSYSAPI NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                    PLARGE_INTEGER ByteOffset, PULONG Key);
NTSYSAPI NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                    PLARGE_INTEGER ByteOffset, PULONG Key);
NTSYSAPI NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass);
NTSYSAPI NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass);
NTSYSAPI NTSTATUS NTAPI NtAdjustPrivilegesToken(HANDLE TokenHandle, BOOLEAN DisableAllPrivileges, PVOID NewState,
                                                ULONG BufferLength, PVOID PreviousState, PULONG ReturnLength);

}  // extern "C"

// Stack-location helpers, as wdm.h defines them inline.
FORCEINLINE PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }
FORCEINLINE PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation - 1; }
FORCEINLINE void IoSkipCurrentIrpStackLocation(PIRP Irp)
{
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
FORCEINLINE void IoSetNextIrpStackLocation(PIRP Irp)
{
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}
FORCEINLINE void IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    memcpy(next, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
FORCEINLINE void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                        BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control = SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
FORCEINLINE void IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }
#define IoCallDriver(DeviceObject, Irp) IofCallDriver(DeviceObject, Irp)
#define IoCompleteRequest(Irp, PriorityBoost) IofCompleteRequest(Irp, PriorityBoost)
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
FORCEINLINE LUID RtlConvertLongToLuid(LONG Long)
{
    LUID luid;
    luid.LowPart = (ULONG)Long;
    luid.HighPart = 0;
    return luid;
}

// ---- Filter-issued I/O, cancellation and MDLs ---------------------------------------------------

#define IO_TYPE_MDL 0x0000000A

extern "C" {

// A read, write, flush or shutdown IRP for DeviceObject, buffered as the device asks (DO_BUFFERED_IO:
// a system buffer; DO_DIRECT_IO: a locked MDL; otherwise the caller's buffer). The synchronous
// form is built at PASSIVE_LEVEL, the asynchronous up to DISPATCH_LEVEL. The synchronous form belongs to the I/O manager: on completion it copies a buffered
// read back, unlocks and frees the MDL, writes *IoStatusBlock, signals Event and frees the IRP.
// The asynchronous form belongs to the caller, whose completion routine frees the MDL and the IRP
// and returns STATUS_MORE_PROCESSING_REQUIRED. Null when pool is short.
NTSYSAPI PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                 ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                 PIO_STATUS_BLOCK IoStatusBlock);
NTSYSAPI PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                  ULONG Length, PLARGE_INTEGER StartingOffset,
                                                  PIO_STATUS_BLOCK IoStatusBlock);
// Makes an IRP from IoAllocateIrp new again for another request, with IoStatus.Status set to
// Status. The IRP must be out of every driver (all its stack locations completed or never used).
NTSYSAPI void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status);

// Cancellation. IoCancelIrp sets Irp->Cancel and, when a cancel routine is set, takes the cancel
// spin lock and calls the routine at DISPATCH_LEVEL with the lock held: the routine releases it
// with IoReleaseCancelSpinLock(Irp->CancelIrql). TRUE when a routine was called. An IRP completed
// with its cancel routine still set is CANCEL_STATE_IN_COMPLETED_IRP.
NTSYSAPI BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
NTSYSAPI void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
NTSYSAPI void NTAPI IoReleaseCancelSpinLock(KIRQL Irql);

// An MDL for a buffer of Length bytes (null beyond 4 GB less a page, or when pool is short). With Irp, it becomes
// Irp->MdlAddress, or with SecondaryBuffer the last of the IRP's MDL chain.
NTSYSAPI PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                  BOOLEAN ChargeQuota, PIRP Irp);
// Frees an MDL (not its chain); its pages must be unlocked. IRQL <= DISPATCH_LEVEL.
NTSYSAPI void NTAPI IoFreeMdl(PMDL Mdl);

}  // extern "C"

// As wdm.h: exchanges the IRP's cancel routine, answering the previous one.
FORCEINLINE PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    return reinterpret_cast<PDRIVER_CANCEL>(__atomic_exchange_n(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                                                reinterpret_cast<PVOID>(CancelRoutine),
                                                                __ATOMIC_SEQ_CST));
}
