// CServiceApp: the class client services on Linux derive from.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_SERVICEAPP_H
#define SERVICEAPP_SERVICEAPP_H

#include "ServiceRuntime.h"
#include "UnixServiceApp.h"

// The Unix host under its portable name; it adds nothing. Derive from it,
// override the hooks you need (Initialize, Run, Deinitialize, DisplayUsage,
// ParseCommandLineArgument, RunCustom, the state hooks), name the service
// and call Main(argc, argv).
class SERVICEAPP_EXPORT CServiceApp : public CUnixServiceApp {
public:
    // Nothing beyond CUnixServiceApp's constructor and destructor.
    CServiceApp();
    ~CServiceApp() override;
};

#endif
