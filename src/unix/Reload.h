// Reload requests: the client's handler, the request a signal leaves for the service's thread, and that thread.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_RELOAD_H
#define SERVICEAPP_UNIX_RELOAD_H

namespace serviceapp {

// Async-signal-safe: marks a reload pending when a handler is registered,
// and says whether it did (the caller then wakes the waits).
bool RequestReload();
// Whether a reload is pending.
bool ReloadPending();
// Whether the client registered a reload handler.
bool ReloadHandlerRegistered();

// Marks the calling thread as the service's own (the thread that runs the
// lifecycle): the one on which WaitForStop runs a pending reload.
void SetServiceThread();
bool OnServiceThread();

}  // namespace serviceapp

#endif
