// Object names for the attach decisions: the file system recognizer is told by its driver's name,
// and a volume with a named base device is not attached to.
#include "fsfilter/attachmanager.h"

void QueryObjectName(PVOID Object, PUNICODE_STRING Name)
{
    Name->Length = 0;
    // The object manager's answer, on the stack; a name that does not fit counts as none.
    union {
        OBJECT_NAME_INFORMATION Info;
        UCHAR Bytes[ObjectNameWorkBufferBytes];
    } work;
    ULONG returnedBytes = 0;
    NTSTATUS status = ObQueryNameString(Object, &work.Info, sizeof(work), &returnedBytes);
    // An unnamed object answers an empty name, possibly without a buffer: nothing to copy.
    if (NT_SUCCESS(status) && work.Info.Name.Length != 0) {
        RtlCopyUnicodeString(Name, &work.Info.Name);
    }
}

void QueryBaseDeviceName(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING Name)
{
    PDEVICE_OBJECT base = IoGetDeviceAttachmentBaseRef(DeviceObject);
    QueryObjectName(base, Name);
    ObfDereferenceObject(base);
}
