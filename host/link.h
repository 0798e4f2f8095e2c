// The link to the filter module: LinkState and the two commands that switch it. Forwarding through
// either call gate happens only while the link is LinkStateLinked; every change of LinkState is
// made under GateLock.
#pragma once

#include "base/platform.h"
#include "driver/commands.h"

// Command 12, Connect: registers the host's notify routines (once), resets the link to unlinked
// unless an unload is under way (LinkStateUnloading stays), and replies with the interface
// version, the host's driver object and a constant (32 bytes; bytes 12 and 28 keep the request's
// values). STATUS_INVALID_DEVICE_STATE, with nothing changed, when called above PASSIVE_LEVEL.
_IRQL_requires_max_(APC_LEVEL)
HOST_COMMAND_ROUTINE Connect;

// Command 15, SetLink: Argument 1 links an unlinked module, 0 unlinks a linked one; any other
// state stays as it is. Does not wait for calls already inside the module. Status
// STATUS_INVALID_PARAMETER for any other Argument (nothing changes); the request itself succeeds.
_IRQL_requires_max_(DISPATCH_LEVEL)
HOST_COMMAND_ROUTINE SetLink;
