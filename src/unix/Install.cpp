// CUnixServiceApp: writing and removing the init script and its run-level links.
#include "UnixServiceApp.h"

bool CUnixServiceApp::InstallService()
{
    return false;
}

bool CUnixServiceApp::UninstallService()
{
    return false;
}
