// Shared pieces of the reliability tests: the model's file systems, the test program's module, and
// a handler for overrides and the redirect.
#pragma once

#include "kmodel/fs_model.h"
#include "support/test_module.h"

// Completes every IRP sent to it with success: what an override or a redirect handler does.
inline NTSTATUS NTAPI CompletingHandler(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

