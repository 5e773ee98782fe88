// CLUMServiceApp: a service bound to the platform library (instance, registry, core directory).
#ifndef SERVICEAPP_LUMSERVICEAPP_H
#define SERVICEAPP_LUMSERVICEAPP_H

#include "ServiceApp.h"

// A CServiceApp that runs under the platform: "-vm NAME" chooses the platform
// instance, a second copy of a running service is refused, the service checks
// in with the platform's registry once initialized and moves into the
// installation's core directory. Install, uninstall and console mode are
// inherited unchanged. The platform library (libLumLib.so) is found at run
// time beside libserviceapp or in ../Base64 relative to it; clients do not
// link it themselves.
class SERVICEAPP_EXPORT CLUMServiceApp : public CServiceApp {
public:
    // m_vmArgIndex = -1 and a de-initialization timeout of 30.
    CLUMServiceApp();
    ~CLUMServiceApp() override;

    // Called by the service lifecycle after a successful Initialize, before
    // Run: checks the service in under m_registryName, logging success as a
    // debug entry and failure as an error entry in the platform's debug log.
    // After a successful check-in it marks the process as a platform server
    // and changes into the directory of configuration key "dCOREDIR" in
    // section "Base" when present. The service runs on either way.
    void SetServiceStateRunning() override;
    // Refuses with "service [NAME] is already running." on standard error
    // (no newline) and returns false when the platform reports a service of
    // m_registryName running; no hook is called then. Otherwise runs the
    // inherited service lifecycle.
    bool RunAsService() override;
    // Accepts "-vm" (case-sensitive) and the argument right after it, which
    // becomes the platform instance this process works on. Anything else is
    // left to CBaseServiceApp (which refuses it).
    bool ParseCommandLineArgument(char* argument, int index) override;

protected:
    int m_vmArgIndex;  // argv index of the instance name after "-vm", or -1
};

#endif
