// CLUMServiceApp: instance option, already-running refusal, check-in and core directory.
// SPDX-License-Identifier: MIT
#include "LUMServiceApp.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "LumPlatform.h"
#include "ServiceRuntime.h"
#include "unix/Notify.h"

CLUMServiceApp::CLUMServiceApp() : m_vmArgIndex(-1)
{
    SetDeinitilizationTimeout(30);
}

CLUMServiceApp::~CLUMServiceApp() = default;

void CLUMServiceApp::SetServiceStateRunning()
{
    EvDebug log(nullptr);
    if (uxsvc_checkin(m_registryName) == 0) {
        log.error("Service [%s] checkin failed.", m_registryName);
        serviceapp::Log(LOG_ERR, "Service [%s] checkin failed.",
                        m_registryName);  // the service's own log too
        // Two copies started together both pass RunAsService's check; the
        // one that lost the check-in to a live holder stops and never runs.
        // Any other failure (the registry cannot be written) leaves no other
        // copy to defer to, so the service runs on unregistered.
        if (uxsvc_isrunning(m_registryName) != 0) {
            // The lifecycle then skips Run and READY=1 and fails the start.
            serviceapp::SetStartRefused(true);
            StopSelf();
        }
        return;
    }
    log.debug("Service [%s] is checked in.", m_registryName);
    LUMPI_Focus::markAsService();
    LUMPlatformInfo info;
    std::string coreDir;
    if (info.getString("Base", "dCOREDIR", &coreDir) != 0 && chdir(coreDir.c_str()) != 0) {
        // The service runs on in its current directory; there is no one to tell.
    }
    CBaseServiceApp::SetServiceStateRunning();
}

bool CLUMServiceApp::RunAsService()
{
    if (uxsvc_isrunning(m_registryName) != 0) {
        fprintf(stderr, "service [%s] is already running.", m_registryName);
        return false;
    }
    // False also when the running hook above refused the start.
    return CUnixServiceApp::RunAsService();
}

bool CLUMServiceApp::ParseCommandLineArgument(char* argument, int index)
{
    LUMPI_Focus focus;  // the platform's scope for handling one argument
    if (argument != nullptr && strcmp(argument, "-vm") == 0) {
        m_vmArgIndex = index + 1;
        return true;
    }
    if (index == m_vmArgIndex) {
        LUMPI_Focus::setFocus(argument);
        return true;
    }
    return CBaseServiceApp::ParseCommandLineArgument(argument, index);
}
