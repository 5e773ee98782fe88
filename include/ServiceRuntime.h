// Calls for a running service: a log with levels, status and time for the service manager, sockets it passed.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_SERVICERUNTIME_H
#define SERVICEAPP_SERVICERUNTIME_H

#include "ServiceAppExport.h"

// Free functions: the state behind them is per process (one service per
// process), kept outside the service objects, whose layout is fixed. None of
// them throws; none may be called from signal context. All may be called from
// any thread.
namespace serviceapp {

// Writes one printf-style message at a syslog(3) priority (LOG_EMERG 0 ..
// LOG_DEBUG 7; only those three bits of priority are used, a facility given
// with them is ignored). On the console and in the journal the message is cut
// to 1023 bytes, and one that cannot be formatted becomes "FAILED TO FORMAT
// MESSAGE"; syslog(3) formats it itself. errno is kept.
//
// Where it goes is decided when the service lifecycle (RunAsService) begins:
//  - Before that, and in every other action (console, install, usage, the
//    client's own): to the console, one line; LOG_WARNING and more urgent on
//    standard error, the rest on standard output.
//  - In the service lifecycle, when $JOURNAL_STREAM names the device and
//    inode of standard error (the service manager connected it to its
//    journal): to standard error, every line of the message prefixed with
//    "<N>", so each line lands in the journal at that priority, a multi-line
//    message included. One write per message.
//  - In the service lifecycle otherwise (a System V start, whose output goes
//    to /dev/null): syslog(3) with facility LOG_DAEMON, the service name as
//    identifier and the process id.
//  - Once the service object is destroyed: to the console again (the
//    connection to syslog is closed).
// Best effort: a message that cannot be delivered is dropped.
SERVICEAPP_EXPORT void Log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Tells the service manager what the service is doing ("STATUS=", shown by
// systemctl status): printf-style, cut to 1000 bytes, line breaks and other
// control characters turned into blanks so the text cannot carry other
// messages. The lifecycle itself says "Initializing", "Running" and
// "Stopping"; a text set in a hook stands until the next phase. True when
// the message was sent; without a service manager nothing is sent (false),
// which is no error.
SERVICEAPP_EXPORT bool SetStatus(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Asks the service manager for more time ("EXTEND_TIMEOUT_USEC="): during a
// long Initialize (start time-out) or Deinitialize (stop time-out), the
// current phase may last milliseconds longer from now. Call it again before
// that has passed to keep going. True when the message was sent; false
// without a service manager.
SERVICEAPP_EXPORT bool ExtendTimeout(unsigned int milliseconds);

// A socket the service manager passed at start (socket activation).
struct ListenSocket {
    int fd;          // 3, 4, ...: listening (or accepted) and open
    char name[256];  // its FileDescriptorName= ("unknown" when none was given)
};

// Takes the sockets passed by socket activation: $LISTEN_FDS descriptors from
// 3 on, when $LISTEN_PID is this process. Marks every one close-on-exec and
// removes LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES from the environment, so
// processes the service starts see none of them; a later call therefore finds
// none. Fills at most capacity entries (names from $LISTEN_FDNAMES, separated
// by ':') and returns how many sockets were passed, which may be more than
// capacity (the rest stay open, close-on-exec). 0 when none were passed, they
// were meant for another process or the numbers are not plain decimals; -1
// (errno EBADF) when they promise a descriptor that is not open (nothing is
// filled then). Call it from Initialize, before starting threads that read
// the environment.
SERVICEAPP_EXPORT int TakeListenSockets(ListenSocket* sockets, int capacity);

}  // namespace serviceapp

#endif
