// CLUMServiceApp: a service bound to the platform library (instance, registry, core directory).
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_LUMSERVICEAPP_H
#define SERVICEAPP_LUMSERVICEAPP_H

#include "ServiceApp.h"

// A CServiceApp that runs under the platform: "-vm NAME" chooses the platform
// instance, a second copy of a running service is refused, the service checks
// in with the platform's registry once initialized and moves into the
// installation's core directory. Install, uninstall and console mode are
// inherited unchanged. The registry name is the second argument of
// SetServiceName(name, registryName, auxName); the one-argument form leaves it
// empty (still a valid registry name, shared by every service named so). The
// platform library (libLumLib.so) is found at run time beside libserviceapp
// or in ../Base64 relative to it; clients do not link it themselves.
class SERVICEAPP_EXPORT CLUMServiceApp : public CServiceApp {
public:
    // m_vmArgIndex = -1 and a de-initialization timeout of 30.
    CLUMServiceApp();
    // Nothing beyond the base classes. The registry check-in is not given back
    // here: it belongs to the process and ends when the process exits.
    ~CLUMServiceApp() override;

    // Called by the service lifecycle after a successful Initialize, before
    // Run: checks the service in under m_registryName. On failure it writes
    // the error entry "Service [NAME] checkin failed." to the platform's debug
    // log. If another live process holds the name (a copy started at the
    // same time that passed RunAsService's check too) it then requests a stop
    // with StopSelf and refuses the start: the lifecycle never calls Run,
    // tells the service manager ERRNO=EALREADY, runs the stopping hooks, and
    // RunAsService returns false; if the registry cannot be written the
    // service runs on in its current directory. On success it writes the
    // debug entry "Service [NAME] is checked in.", marks the process as a
    // platform server, changes into the directory of configuration key
    // "dCOREDIR" in section "Base" when the key is present (a failed change
    // is ignored), then calls the base hook. An override should call this one.
    void SetServiceStateRunning() override;
    // Refuses with "service [NAME] is already running." on standard error
    // (no newline) and returns false (Main: -5) when the platform reports a
    // service of m_registryName running; no hook is called then. Otherwise
    // runs the inherited service lifecycle and returns its result: false
    // also when Initialize failed or the check-in lost to another running
    // copy.
    bool RunAsService() override;
    // Accepts "-vm" (case-sensitive) and the argument right after it, which
    // becomes the platform instance this process works on (the platform logs
    // "Focus set to instance [NAME]."). An option right after "-vm" (such as
    // "-console") stays an option and sets no instance; a lone "-vm" at the
    // end is accepted and sets none. Anything else is left to CBaseServiceApp
    // (which refuses it). An override should hand the arguments it does not
    // take to this one.
    bool ParseCommandLineArgument(char* argument, int index) override;

protected:
    int m_vmArgIndex;  // argv index of the instance name after "-vm", or -1
};

#endif
