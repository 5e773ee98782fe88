// How Main finishes a lifecycle that a client's exception cut short: the running lifecycle leaves its tear-down here.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_CORE_LIFECYCLE_H
#define SERVICEAPP_CORE_LIFECYCLE_H

class CBaseServiceApp;

namespace serviceapp {

// Runs the stopping hooks and Deinitialize that the lifecycle has not run
// yet. It marks each hook before calling it, so after an exception from one
// of them a second call runs only the rest.
using LifecycleTearDown = void (*)(CBaseServiceApp& app);

// The host's lifecycle sets its tear-down as it starts and clears it (null)
// once it has run; Main calls the one still set after catching a client's
// exception. One lifecycle per process, on the thread that called Main.
void SetLifecycleTearDown(LifecycleTearDown tearDown);

}  // namespace serviceapp

#endif
