// CUnixServiceApp: the service and console lifecycles, the default run loop, the stop signals and the stop event.
// SPDX-License-Identifier: MIT
#include "UnixServiceApp.h"

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "core/Lifecycle.h"
#include "unix/InstallChecks.h"
#include "unix/InstallPlan.h"
#include "unix/Log.h"
#include "unix/Notify.h"
#include "unix/Reload.h"
#include "unix/ServiceControl.h"

namespace {

// How long the default Run waits between looks at the quit flag when nothing
// wakes it and no watchdog asks for more.
constexpr unsigned int kRunPollMs = 15000;
// Without a stop event (no descriptor could be had) waits are cut into ticks
// this long, so a stop from another thread is still seen soon.
constexpr long long kFallbackTickMs = 200;

// The stop event: an eventfd every stop the library sees writes to, so a wait
// on it ends at once whichever thread the stop came from. It lives outside the
// objects (their layout is fixed), is made by the first wait, and is closed by
// the registered object's destructor. Writers count themselves in
// g_stopEventWriters so the close never races a handler on another thread
// that already read the descriptor.
int g_stopEvent = -1;
int g_stopEventWriters = 0;

// Async-signal-safe; keeps errno.
void SignalStopEvent()
{
    int savedErrno = errno;
    __atomic_add_fetch(&g_stopEventWriters, 1, __ATOMIC_SEQ_CST);
    int fd = __atomic_load_n(&g_stopEvent, __ATOMIC_SEQ_CST);
    if (fd >= 0) {
        uint64_t one = 1;
        // Can fail only at the counter's limit, when the event is set anyway.
        (void)!write(fd, &one, sizeof(one));
    }
    __atomic_sub_fetch(&g_stopEventWriters, 1, __ATOMIC_SEQ_CST);
    errno = savedErrno;
}

// The process that made the event. A child forked without exec inherits it,
// shared with its parent, whose waits would then take the child's wake-ups and
// the other way round: the child drops it and makes its own. (The raw system
// call keeps the waiting service off another page of the C library.)
long g_stopEventOwner = 0;

// The stop event, made on first use; -1 when no descriptor can be had.
int StopEvent()
{
    int fd = __atomic_load_n(&g_stopEvent, __ATOMIC_SEQ_CST);
    long self = syscall(SYS_getpid);
    if (fd >= 0 && __atomic_load_n(&g_stopEventOwner, __ATOMIC_SEQ_CST) == self) {
        return fd;
    }
    if (fd >= 0 &&
        __atomic_compare_exchange_n(&g_stopEvent, &fd, -1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
        // Only the forking thread came along, so no writer is left mid-write.
        __atomic_store_n(&g_stopEventWriters, 0, __ATOMIC_SEQ_CST);
        (void)close(fd);  // the parent's stays open in the parent
    }
    int made = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (made < 0) {
        return -1;
    }
    __atomic_store_n(&g_stopEventOwner, self, __ATOMIC_SEQ_CST);
    int expected = -1;
    if (!__atomic_compare_exchange_n(&g_stopEvent, &expected, made, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)) {
        (void)close(made);  // another thread made it first; ours was never seen
        return expected;
    }
    return made;
}

void CloseStopEvent()
{
    int fd = __atomic_exchange_n(&g_stopEvent, -1, __ATOMIC_SEQ_CST);
    if (fd < 0) {
        return;
    }
    while (__atomic_load_n(&g_stopEventWriters, __ATOMIC_SEQ_CST) != 0) {
        (void)sched_yield();  // a handler on another thread is between its load and its write
    }
    (void)close(fd);
}

long long NowMs()
{
    struct timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

using Handler = void (*)(int);

// SIGUSR1 (the Debian-family script's "reload") and SIGHUP (the unit's
// reload, and what a closed terminal sends) ask for a reload; the default
// action of either would end the service without de-initialization. With a
// reload handler registered the request is left for the service's thread,
// whose wait the stop event ends; without one the signal does nothing.
// Async-signal-safe; keeps errno.
void RequestReloadOnSignal(int /*signal*/)
{
    if (serviceapp::RequestReload()) {
        SignalStopEvent();
    }
}
const int kReloadSignals[] = {SIGUSR1, SIGHUP};
// Which of them the lifecycle gave RequestReloadOnSignal, so only those does the
// destructor look at (nothing else can install it).
bool g_reloadCaught[std::size(kReloadSignals)] = {};

void InstallHandler(int signo, Handler handler, int flags)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    // A failure leaves the signal's previous disposition; there is nothing
    // better to do with it here.
    (void)sigaction(signo, &action, nullptr);
}

// Async-signal-safe: the handler uses it too.
void SetDefaultAction(int signo)
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    (void)sigaction(signo, &dfl, nullptr);
}

// The plain handler installed for signo; SIG_ERR for a three-argument one or
// when it cannot be read.
Handler CurrentHandler(int signo)
{
    struct sigaction current = {};
    return sigaction(signo, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) ? current.sa_handler
                                                                                        : SIG_ERR;
}

// Puts back the default action of signo if the library's handler for it is
// the one installed.
void RestoreDefaultIfOurs(int signo)
{
    bool stop = signo == SIGTERM || signo == SIGINT;
    if (CurrentHandler(signo) == (stop ? CUnixServiceApp::SignalHandlerStatic : RequestReloadOnSignal)) {
        SetDefaultAction(signo);
    }
}

// The steps of the running lifecycle, each marked as it is entered, so that
// Main can finish one that a client's exception cut short.
enum Step : unsigned {
    kServiceMode = 1u << 0,  // SetServiceStateStarting entered
    kInitialize = 1u << 1,
    kFailureTold = 1u << 2,  // ERRNO= sent
    kStopping = 1u << 3,
    kDeinitialize = 1u << 4,
    kStopped = 1u << 5,
};
unsigned g_steps = 0;

// Marks step; true the first time.
bool Enter(unsigned step)
{
    bool first = (g_steps & step) == 0;
    g_steps |= step;
    return first;
}

// A failed start, told once to the service manager as ERRNO= the error the
// failing hook left in errno (EIO when it left none), so that systemd and
// start-stop-daemon --notify-await fail the start at once, not at their
// time-outs. Nothing in console mode.
void NotifyFailure(int error)
{
    if ((g_steps & kServiceMode) != 0 && Enter(kFailureTold)) {
        char state[32];
        (void)snprintf(state, sizeof(state), "ERRNO=%d", error > 0 ? error : EIO);
        (void)serviceapp::NotifyServiceManager(state);  // best effort, as every notification
    }
}

// The tear-down hooks not yet entered, in order: the stopping and stopped
// states in service mode, Deinitialize once Initialize was entered.
void TearDown(CBaseServiceApp& app)
{
    bool service = (g_steps & kServiceMode) != 0;
    if (service && Enter(kStopping)) {
        app.SetServiceStateStopping();
    }
    if ((g_steps & kInitialize) != 0 && Enter(kDeinitialize)) {
        app.Deinitialize();
    }
    if (service && Enter(kStopped)) {
        app.SetServiceStateStopped();
    }
    serviceapp::SetLifecycleTearDown(nullptr);
}

// Main's tear-down after a client's exception: the lifecycle failed.
void TearDownAfterException(CBaseServiceApp& app)
{
    NotifyFailure(errno);
    TearDown(app);
}

// Starts the lifecycle's record: service or console mode.
void BeginLifecycle(unsigned mode)
{
    g_steps = mode;
    serviceapp::SetLifecycleTearDown(TearDownAfterException);
}

}  // namespace

CUnixServiceApp::CUnixServiceApp() : m_rcSequence(55) {}

CUnixServiceApp::~CUnixServiceApp()
{
    CBaseServiceApp* registered = __atomic_load_n(&c_serviceAppInstancePtr, __ATOMIC_SEQ_CST);
    if (registered == this) {
        RestoreDefaultIfOurs(SIGTERM);
        RestoreDefaultIfOurs(SIGINT);
        for (size_t i = 0; i < std::size(kReloadSignals); ++i) {
            if (g_reloadCaught[i]) {
                RestoreDefaultIfOurs(kReloadSignals[i]);
                g_reloadCaught[i] = false;
            }
        }
        __atomic_store_n(&c_serviceAppInstancePtr, nullptr, __ATOMIC_SEQ_CST);
        serviceapp::EndServiceLog();
    }
    // The event serves the registered object; another one going leaves it.
    if (registered == this || registered == nullptr) {
        CloseStopEvent();
    }
}

bool CUnixServiceApp::StartService()
{
    return serviceapp::StartOrStopService(m_serviceName, IsServiceInstalled(), "start");
}

bool CUnixServiceApp::StopService()
{
    return serviceapp::StartOrStopService(m_serviceName, IsServiceInstalled(), "stop");
}

bool CUnixServiceApp::IsServiceInstalled()
{
    return serviceapp::IsValidServiceName(m_serviceName, sizeof(m_serviceName)) &&
           serviceapp::IsInstalledUnder("", m_serviceName);
}

void CUnixServiceApp::StopSelf()
{
    SetQuitFlag();
    SignalStopEvent();
}

void CUnixServiceApp::SignalHandlerStatic(int signal)
{
    int savedErrno = errno;
    CBaseServiceApp* instance = __atomic_load_n(&c_serviceAppInstancePtr, __ATOMIC_SEQ_CST);
    if (instance != nullptr) {
        instance->SetQuitFlag();
        SignalStopEvent();
    } else {
        // Nobody is registered to stop: act as the signal would without us.
        SetDefaultAction(signal);
        (void)raise(signal);
    }
    errno = savedErrno;
}

bool CUnixServiceApp::WaitForStop(unsigned int milliseconds)
{
    // The event is had before the flag is looked at: a stop that comes after
    // the look then finds it to write to, and the wait below ends at once.
    int fd = StopEvent();
    long long deadline = NowMs() + milliseconds;
    bool serviceThread = serviceapp::OnServiceThread();
    while (!CheckQuitFlag()) {
        if (serviceThread && RunPendingReload()) {
            return false;  // the caller's loop sees what the reload changed at once
        }
        long long left = deadline - NowMs();
        if (left <= 0) {
            return false;
        }
        // A reload request keeps the event set for the service's thread:
        // another thread waits in ticks meanwhile rather than spin on it.
        bool watch = fd >= 0 && (serviceThread || !serviceapp::ReloadPending());
        if (!watch) {
            left = left < kFallbackTickMs ? left : kFallbackTickMs;
        }
        struct timespec wait = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
        struct pollfd event = {fd, POLLIN, 0};
        // Time-out, EINTR or the event: the loop looks at the flag again.
        if (ppoll(&event, watch ? 1 : 0, &wait, nullptr) > 0 && !CheckQuitFlag()) {
            // Set by a reload request (run next round), or by a stop that was
            // not ours (another object's, or a parent's before it forked us):
            // clear it, and set it again should our own stop have come
            // meanwhile, for any other thread waiting on it.
            uint64_t count = 0;
            (void)!read(fd, &count, sizeof(count));
            if (CheckQuitFlag()) {
                SignalStopEvent();
            }
        }
    }
    return true;
}

void CUnixServiceApp::NotifyWatchdog()
{
    if (serviceapp::WatchdogPeriodUs() > 0) {
        (void)serviceapp::NotifyServiceManager("WATCHDOG=1");  // a lost ping is the manager's to judge
    }
}

void CUnixServiceApp::Run()
{
    // Under a watchdog, a third of its period between pings: at least two
    // pings per period even when a wake-up comes late.
    unsigned long long watchdogUs = serviceapp::WatchdogPeriodUs();
    unsigned int waitMs = kRunPollMs;
    if (watchdogUs > 0) {
        unsigned long long thirdMs = watchdogUs / 3000;
        waitMs = thirdMs < 1 ? 1 : thirdMs < kRunPollMs ? static_cast<unsigned int>(thirdMs) : kRunPollMs;
    }
    do {
        if (watchdogUs > 0) {
            (void)serviceapp::NotifyServiceManager("WATCHDOG=1");
        }
    } while (!WaitForStop(waitMs));
}

bool CUnixServiceApp::RunAsService()
{
    // Before any hook can start a process that would inherit the socket.
    serviceapp::TakeNotifySocket();
    serviceapp::BeginServiceLog(m_serviceName);
    BeginLifecycle(kServiceMode);
    SetServiceStateStarting();
    InstallHandler(SIGTERM, SignalHandlerStatic, 0);  // no SA_RESTART: a stop cuts blocking calls short
    InstallHandler(SIGINT, SignalHandlerStatic, 0);
    for (size_t i = 0; i < std::size(kReloadSignals); ++i) {
        if (CurrentHandler(kReloadSignals[i]) == SIG_DFL) {
            InstallHandler(kReloadSignals[i], RequestReloadOnSignal,
                           SA_RESTART);  // a client's own handler stays
            g_reloadCaught[i] = true;
        }
    }
    serviceapp::SetServiceThread();
    // The signal mask survives exec: a parent that started us with the stop
    // signals blocked would otherwise leave them pending for good.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    (void)sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);  // this thread's mask, as glibc defines it
    serviceapp::SetStartRefused(false);
    Enter(kInitialize);
    (void)serviceapp::NotifyServiceManager("STATUS=Initializing");
    errno = 0;
    bool ok = Initialize();
    if (!ok) {
        NotifyFailure(errno);
    } else {
        SetServiceStateRunning();
        // A copy that lost its check-in in the running hook never runs.
        ok = !serviceapp::StartRefused();
        if (!ok) {
            NotifyFailure(EALREADY);
        } else {
            // Notifications are best effort: a manager that cannot be told
            // never stops the service.
            (void)serviceapp::NotifyServiceManager("READY=1\nSTATUS=Running");
            Run();
            (void)serviceapp::NotifyServiceManager("STOPPING=1\nSTATUS=Stopping");
        }
    }
    TearDown(*this);
    return ok;
}

bool CUnixServiceApp::RunAsConsole()
{
    BeginLifecycle(kInitialize);
    bool ok = Initialize();
    if (ok) {
        Run();
    }
    TearDown(*this);
    return ok;
}
