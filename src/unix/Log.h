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

// Called as the registered service object goes: Log writes to the console
// again, and the connection to syslog, if one was made, is closed.
void EndServiceLog();

}  // namespace serviceapp

#endif
