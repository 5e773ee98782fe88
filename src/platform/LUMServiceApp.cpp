// CLUMServiceApp: instance option, already-running refusal, check-in and core directory.
#include "LUMServiceApp.h"

CLUMServiceApp::CLUMServiceApp() : m_vmArgIndex(-1)
{
    SetDeinitilizationTimeout(30);
}

CLUMServiceApp::~CLUMServiceApp() = default;

void CLUMServiceApp::SetServiceStateRunning()
{
    CBaseServiceApp::SetServiceStateRunning();
}

bool CLUMServiceApp::RunAsService()
{
    return CUnixServiceApp::RunAsService();
}

bool CLUMServiceApp::ParseCommandLineArgument(char* argument, int index)
{
    return CBaseServiceApp::ParseCommandLineArgument(argument, index);
}
