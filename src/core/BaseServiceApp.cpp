// CBaseServiceApp: names, flags, default hooks, Main and the command line.
// SPDX-License-Identifier: MIT
#include "BaseServiceApp.h"

#include <cxxabi.h>
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>

#include "ServiceRuntime.h"
#include "core/Lifecycle.h"

static_assert(std::atomic<bool>::is_always_lock_free, "the quit flag is set from a signal handler");
static_assert(sizeof(std::atomic<bool>) == 1, "the quit flag is one byte of the binary interface");

CBaseServiceApp* CBaseServiceApp::c_serviceAppInstancePtr = nullptr;

namespace {

// Copies at most size - 1 bytes of src and pads the rest of dst with NUL, so
// the field is always a terminated string; a null src clears the field.
void CopyField(char* dst, size_t size, const char* src)
{
    size_t n = src != nullptr ? strnlen(src, size - 1) : 0;
    if (n > 0) {
        memcpy(dst, src, n);
    }
    memset(dst + n, 0, size - n);
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whole-string comparison ignoring ASCII case only, whatever the locale says.
bool EqualsIgnoringCase(const char* a, const char* b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (AsciiLower(*a) != AsciiLower(*b)) {
            return false;
        }
    }
    return *a == *b;
}

struct Option {
    const char* text;
    eServiceAction action;
};

const Option kOptions[] = {
    {"-console", eActionConsole}, {"-help", eActionUsage},          {"-?", eActionUsage},
    {"-install", eActionInstall}, {"-uninstall", eActionUninstall}, {"-start", eActionStart},
    {"-stop", eActionStop},
};

// Whether the last scan ended at an argument ParseCommandLineArgument
// refused: usage is then shown as for "-help", but Main fails with -3.
bool g_argumentRefused = false;

serviceapp::LifecycleTearDown g_tearDown = nullptr;

// Parses the command line and runs the chosen action: Main's results but -1.
int RunAction(CBaseServiceApp& app, int argc, char** argv)
{
    g_argumentRefused = false;  // also for an override that never calls the base parser
    if (!app.ParseCommandLine(argc, argv)) {
        return -3;
    }
    if (!app.CheckServiceNameSet()) {
        return -2;
    }
    bool ok = false;
    switch (static_cast<unsigned int>(app.GetAction())) {
    case eActionRunService: ok = app.RunAsService(); break;
    case eActionConsole: ok = app.RunAsConsole(); break;
    case eActionUsage:
        ok = app.DisplayUsage();
        if (g_argumentRefused) {
            return -3;
        }
        break;
    case eActionInstall: ok = app.InstallService(); break;
    case eActionUninstall: ok = app.UninstallService(); break;
    case eActionStart: ok = app.StartService(); break;
    case eActionStop: ok = app.StopService(); break;
    case eActionCustom:
        app.RunCustom();
        ok = true;
        break;
    default: return -4;
    }
    return ok ? 0 : -5;
}

// A client's exception that reached Main, at error priority: on standard
// error, or in service mode in the journal or syslog. Log keeps errno for the
// tear-down's report to the service manager.
void ReportException(const char* name, const char* what)
{
    if (what != nullptr) {
        serviceapp::Log(LOG_ERR, "Unhandled exception in service [%s]: %s", name, what);
    } else {
        serviceapp::Log(LOG_ERR, "Unhandled exception in service [%s]", name);
    }
}

// Runs body; false, with the exception reported, when a client's hook threw.
template <typename Body>
bool Guarded(const char* name, const Body& body)
{
    try {
        body();
        return true;
    } catch (abi::__forced_unwind&) {
        throw;  // a cancelled thread must unwind to its end
    } catch (const std::exception& e) {
        ReportException(name, e.what());
    } catch (...) {
        ReportException(name, nullptr);
    }
    return false;
}

}  // namespace

void serviceapp::SetLifecycleTearDown(LifecycleTearDown tearDown)
{
    g_tearDown = tearDown;
}

CBaseServiceApp::CBaseServiceApp()
    : m_serviceName(),
      m_serviceNameSet(false),
      m_programPath(),
      m_registryName(),
      m_auxName(),
      m_quitFlag(false),
      m_pausedFlag(false),
      m_deinitTimeout(0),
      m_action(eActionRunService)
{
    SetServiceName(nullptr, nullptr, nullptr);
    memset(m_programPath, 0, sizeof(m_programPath));
}

// The instance pointer is read in signal context and written by Main and the
// destructors, possibly on other threads: every access is atomic.
CBaseServiceApp::~CBaseServiceApp()
{
    CBaseServiceApp* self = this;
    (void)__atomic_compare_exchange_n(&c_serviceAppInstancePtr, &self, nullptr, false, __ATOMIC_SEQ_CST,
                                      __ATOMIC_SEQ_CST);  // unchanged when another object is registered
}

int CBaseServiceApp::Main(int argc, char** argv)
{
    CBaseServiceApp* none = nullptr;
    if (!__atomic_compare_exchange_n(&c_serviceAppInstancePtr, &none, this, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)) {
        return -1;
    }

    // A client's exception ends the action with -5; a lifecycle it cut short
    // still runs its stopping hooks and Deinitialize, each once, even when
    // one of those throws in turn.
    int rc = -5;
    if (Guarded(m_serviceName, [&] { rc = RunAction(*this, argc, argv); })) {
        return rc;
    }
    while (g_tearDown != nullptr) {
        (void)Guarded(m_serviceName, [this] {
            g_tearDown(*this);
            g_tearDown = nullptr;
        });
    }
    return -5;
}

void CBaseServiceApp::SetServiceStateStarting() {}
void CBaseServiceApp::SetServiceStateRunning() {}
void CBaseServiceApp::SetServiceStateStopping() {}
void CBaseServiceApp::SetServiceStateStopped() {}
void CBaseServiceApp::SetServiceStatePausing() {}
void CBaseServiceApp::SetServiceStatePaused() {}
void CBaseServiceApp::SetServiceStateResuming() {}
void CBaseServiceApp::SetServiceStateResumed() {}

bool CBaseServiceApp::CheckQuitFlag()
{
    return m_quitFlag.load();
}

bool CBaseServiceApp::CheckPausedFlag()
{
    return m_pausedFlag;
}

bool CBaseServiceApp::DisplayUsage()
{
    return true;
}

void CBaseServiceApp::RunCustom() {}

void CBaseServiceApp::SetQuitFlag()
{
    m_quitFlag.store(true);
}

void CBaseServiceApp::SetPausedFlag()
{
    m_pausedFlag = true;
}

void CBaseServiceApp::UnsetPausedFlag()
{
    m_pausedFlag = false;
}

bool CBaseServiceApp::Initialize()
{
    return true;
}

void CBaseServiceApp::Deinitialize() {}
void CBaseServiceApp::OnStop() {}
void CBaseServiceApp::OnPause() {}
void CBaseServiceApp::OnContinue() {}
void CBaseServiceApp::OnShutdown() {}

// Pure, but defined so that a qualified call from a derived class links.
void CBaseServiceApp::Run() {}

void CBaseServiceApp::LogMessage(unsigned int /*level*/, const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (n < 0) {
        snprintf(buffer, sizeof(buffer), "%s", "FAILED TO FORMAT MESSAGE");
    }
    if (m_action == eActionConsole) {
        // Console output is best effort; there is nowhere to report its failure.
        (void)fputs(buffer, stdout);
        (void)fputc('\n', stdout);
    }
}

bool CBaseServiceApp::ParseCommandLineArgument(char* /*argument*/, int /*index*/)
{
    return false;
}

bool CBaseServiceApp::ParseCommandLine(int argc, char** argv)
{
    if (argv == nullptr || argc < 0) {
        argc = 0;
    }
    CopyField(m_programPath, sizeof(m_programPath), argc > 0 ? argv[0] : nullptr);
    g_argumentRefused = false;

    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) {
            break;  // argv ends early: nothing more to scan
        }
        const Option* match = nullptr;
        for (const Option& option : kOptions) {
            if (EqualsIgnoringCase(argv[i], option.text)) {
                match = &option;
                break;
            }
        }
        if (match != nullptr) {
            m_action = match->action;
        } else if (!ParseCommandLineArgument(argv[i], i)) {
            m_action = eActionUsage;
            g_argumentRefused = true;
            break;
        }
    }
    return true;
}

void CBaseServiceApp::SetServiceName(const char* name)
{
    SetServiceName(name, nullptr, nullptr);
}

void CBaseServiceApp::SetServiceName(const char* name, const char* registryName, const char* auxName)
{
    CopyField(m_serviceName, sizeof(m_serviceName), name);
    CopyField(m_registryName, sizeof(m_registryName), registryName);
    CopyField(m_auxName, sizeof(m_auxName), auxName);
    m_serviceNameSet = name != nullptr;
}

bool CBaseServiceApp::CheckServiceNameSet()
{
    return m_serviceNameSet;
}

CBaseServiceApp* CBaseServiceApp::GetServiceAppInstance()
{
    return __atomic_load_n(&c_serviceAppInstancePtr, __ATOMIC_SEQ_CST);
}

int CBaseServiceApp::GetAction()
{
    return m_action;
}

bool CBaseServiceApp::IsConsoleMode()
{
    return m_action == eActionConsole;
}

void CBaseServiceApp::SetCustomAction()
{
    m_action = eActionCustom;
}

void CBaseServiceApp::SetDeinitilizationTimeout(unsigned int timeout)
{
    m_deinitTimeout = timeout;
}
