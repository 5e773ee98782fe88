// Readiness, stopping and watchdog messages to the service manager over the socket named by $NOTIFY_SOCKET.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_NOTIFY_H
#define SERVICEAPP_UNIX_NOTIFY_H

namespace serviceapp {

// Sends state ("READY=1", "STOPPING=1", "WATCHDOG=1") as one datagram to the
// socket $NOTIFY_SOCKET named when it was taken (TakeNotifySocket, else at
// the first send): a file-system path (starting with '/') or an abstract
// address (starting with '@'). False, with nothing sent, when none was named
// or no such address, from a process forked after the take, or when the send
// fails; the caller carries on either way. Allocates nothing.
bool NotifyServiceManager(const char* state);

// Moves $NOTIFY_SOCKET out of the environment into a process-wide fixed
// buffer, so that processes the service starts cannot speak for it. The
// service lifecycle calls it as it begins; when the variable is unset, what
// an earlier take found stays.
void TakeNotifySocket();

// A decimal number of digits only, without sign, blanks or overflow; 0 for
// anything else, so 0 means "none" to every caller.
unsigned long long ParseDecimal(const char* text);

// The watchdog period in microseconds from $WATCHDOG_USEC when the service
// manager watches this process ($WATCHDOG_PID unset or equal to our pid);
// 0 when no watchdog is set, or the values are not plain positive numbers.
unsigned long long WatchdogPeriodUs();

// A start refused after the running hook (a platform copy that lost its
// check-in to a running copy): the lifecycle then skips Run, sends ERRNO=
// instead of READY=1, so under a service manager the start fails at once,
// and returns false. The service lifecycle clears the mark when a start
// begins.
void SetStartRefused(bool refused);
bool StartRefused();

}  // namespace serviceapp

#endif
