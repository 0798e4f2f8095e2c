// The I/O manager's part in the life of the model: what boot, shutdown and process exit call.
#pragma once

#include <string>

#include "ntmodel/ntifs.h"

// A fresh object manager, I/O manager and token set (boot).
void KmIoBoot();
// Closes what is still open, tears down every loaded driver as at system shutdown and answers
// what tests and drivers left behind: handles, IRPs, object references, drivers' leftovers.
std::string KmIoShutdownReport();
// A process ends: its handles are closed and its token goes.
void KmIoProcessExited(HANDLE processId);
