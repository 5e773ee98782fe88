// Where the service's log goes: console, the journal through standard error, or syslog.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_LOG_H
#define SERVICEAPP_UNIX_LOG_H

namespace serviceapp {

// Called by the service lifecycle as it begins, before any hook: from now on
// Log writes to the journal when $JOURNAL_STREAM names standard error's
// device and inode, else to syslog(3) under identifier (copied, cut to 255
// bytes). Decided once here, not per message.
void BeginServiceLog(const char* identifier);

}  // namespace serviceapp

#endif
