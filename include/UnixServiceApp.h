// CUnixServiceApp: the Linux service host (lifecycle, signals, distribution detection, init scripts).
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIXSERVICEAPP_H
#define SERVICEAPP_UNIXSERVICEAPP_H

#include "BaseServiceApp.h"

// Linux distributions told apart by their release files under /etc.
enum eLinuxDistribution : int {
    eDistUnknown = 0,  // "unknown": none of the release files
    eDistRedHat = 1,   // "redhat"
    eDistCentOS = 2,   // "centos"
    eDistSuSE = 3,     // "suse"
    eDistUbuntu = 4,   // "ubuntu"
    eDistDebian = 5,   // "debian"
    eDistOracle = 6,   // "oracle"
    eDistFedora = 7    // "fedora": recognised, but no init-script template
};

// Supplies every operation CBaseServiceApp leaves open. Clients derive from
// CServiceApp (or CLUMServiceApp), not from this class directly.
class SERVICEAPP_EXPORT CUnixServiceApp : public CBaseServiceApp {
public:
    // Sets m_rcSequence to 55.
    CUnixServiceApp();
    // If this object is the registered one: puts back the default action of
    // SIGTERM, SIGINT, SIGUSR1 and SIGHUP where the library's handler is
    // still the installed one (a handler the client installed since is left
    // alone), so a late signal acts as it would without the library,
    // unregisters the object and closes the stop event WaitForStop waits on.
    ~CUnixServiceApp() override;

    // "-install". Checks, in this order, each failure printing one line and
    // returning false (Main: -5) with nothing written:
    //   the service name: 1 to 240 bytes of [A-Za-z0-9._@+-], starting with a
    //     letter or digit, NUL-terminated within its field, else
    //     "Invalid service name [NAME]" (this is the only line printed);
    //   m_rcSequence: 0 to 99, else "Invalid run-level sequence [N]" (the
    //     only line printed);
    //   the distribution (DetectLinuxDistribution), else
    //     "Unrecognized linux distribution";
    //   /etc/init.d exists, else "Could not find /etc/init.d, install is not
    //     supported on this distribution"; and is writable, else
    //     "cannot write to /etc/init.d, please install as root";
    //   the program path written into the script: argv[0] if absolute, else
    //     the running executable (/proc/self/exe); refused with
    //     "Invalid program path [PATH]" if it holds white space, a control
    //     character, a quote, $ ` \ ; & | < > ( ) * ? [ ] ~ { } #, is 1023
    //     bytes or longer, or names a deleted executable.
    // In both refusals, bytes that are not printable ASCII are shown as '?'.
    // Then prints "Installing Service NAME" and plans every change before
    // making any: a distribution without a template (fedora) prints
    // "unknown init script."; a file at /etc/init.d/NAME that this library
    // did not write (no marker line, not an earlier template; a symlink or a
    // directory) prints "Refusing to overwrite [PATH]: not written by
    // serviceapp"; something at one of the link names below that does not
    // lead to the script prints "Failed to create link [LINK]: File exists";
    // where /etc/systemd/system is a directory, a unit NAME.service in
    // /lib/systemd/system or /usr/lib/systemd/system prints "Refusing to
    // shadow [PATH]: a unit of that name is installed" and a name systemd
    // cannot take ('+', a trailing '@') "Refusing service name [NAME]:
    // systemd takes no unit of that name"; a directory or file that cannot be
    // read "Failed to read [PATH]: REASON". Any of these returns false with
    // nothing touched. Otherwise writes /etc/init.d/NAME whole or not at all
    // (a hidden temporary file, mode 0755, synced, renamed over the old
    // script); a failure prints "Failed to create init script
    // [/etc/init.d/NAME], ERRNO" or "Failed to write init script
    // [/etc/init.d/NAME], ERRNO" and returns false, the earlier script kept.
    // Then links the script into the seven run levels as
    // S<m_rcSequence>NAME or K<m_rcSequence>NAME, the sequence in two digits:
    // in /etc/rcN.d on Debian and Ubuntu (S in levels 2 and 5, K in 0, 1, 3,
    // 4, 6), in /etc/rc.d/rcN.d on the Red Hat family and SuSE (S in 3 and 5,
    // K in 0, 1, 2, 4, 6). A level that already has a link leading to the
    // script (compared through the real paths of the directories) gets none:
    // one of the other letter (an administrator's disable) is named with
    // "Keeping existing link [LINK]". A failure prints "Failed to create link
    // [LINK]: REASON", the other levels are still tried, and the result is
    // false. Where /etc/systemd/system is a directory, also writes the unit
    // /etc/systemd/system/NAME.service (mode 0644, whole or not at all;
    // Type=notify, ExecStart= the script's program path with the
    // AddServiceArgument arguments, Restart=on-failure after a second, the
    // AddUnitSetting settings and the sandbox profile; with a reload handler
    // registered ExecReload=/bin/kill -HUP $MAINPID, or Type=notify-reload
    // where the first line of "systemctl --version" names systemd 253 or
    // later; its first line marks it as ours with a checksum of the rest) and
    // links it from
    // multi-user.target.wants (made 0755 when missing) as systemctl enable
    // would. A unit there that is not ours is kept with its link ("Keeping
    // existing unit [PATH]"), one of ours changed since is kept ("Keeping
    // modified unit [PATH]"), and one of ours without its wants link is
    // rewritten but left disabled ("Keeping disabled unit [PATH]"). A failure
    // prints "Failed to write unit file [PATH], ERRNO" or "Failed to create
    // link [LINK]: REASON" and gives false. Where the host boots by
    // dependencies (/etc/init.d/.depend.start and insserv are there), then
    // runs "insserv NAME" ("Failed to run [INSSERV NAME], STATUS").
    // After a unit setting or argument the client's call refused, prints
    // "Invalid unit setting [SECTION] [SETTING]: REASON" (or "Invalid service
    // argument [ARGUMENT]: REASON") and fails with nothing written.
    // Every changed directory is synced, so that a successful install
    // survives a power cut ("Failed to sync [DIR]: REASON", false).
    // With $SERVICEAPP_ROOT naming a directory, all of it is done under that
    // root (directories made, no syncs, no command run) and one line
    // "Wrote N files and links for NAME under ROOT" replaces the others.
    // True when the script, its links and any unit are in place.
    bool InstallService() override;
    // "-uninstall". Refuses an invalid service name, an invalid sequence and
    // an unknown distribution as InstallService does, and an /etc/init.d it
    // cannot write ("cannot write to /etc/init.d, please uninstall as root").
    // Then plans, touching nothing: the script is removed only when it is
    // ours (else "Keeping existing script [PATH]", and its links stay); every
    // link in the seven directories named S or K, two digits and exactly
    // NAME that leads to /etc/init.d/NAME is removed (one at our own name
    // leading elsewhere: "Keeping existing link [LINK]"); our unit (changed
    // or not) and its wants link when it leads to the unit are removed (a
    // unit not ours: "Keeping existing unit [PATH]"). A directory or file
    // that cannot be read prints "Failed to read [PATH]: REASON" and nothing
    // is removed. If the service runs it is first stopped as -stop would
    // ("Stopping service NAME"); if that fails, "Failed to stop service
    // NAME, nothing removed" and false. The links go before the script and
    // the wants link before the unit, so no link is left to a missing file;
    // on a host that boots by dependencies "insserv -r NAME" runs between
    // the links and the script. Prints "Removing PATH" for each thing
    // removed; one already gone is not an error; any other failure prints
    // "Failed to remove [PATH]: REASON" and the rest is still tried. Every
    // changed directory is then synced ("Failed to sync [DIR]: REASON").
    // With $SERVICEAPP_ROOT, as for install: "Removed N files and links of
    // NAME under ROOT".
    // True when everything is gone, else false (Main: -5).
    bool UninstallService() override;
    // "-start" / "-stop" of an installed service (IsServiceInstalled): runs
    // "systemctl start|stop NAME.service" where systemd is the running
    // service manager (/run/systemd/system is a directory), else
    // "/etc/init.d/NAME start|stop", with no shell; the tool's output passes
    // through. True when it exits 0, else false (Main: -5). A service that is
    // not installed prints "Service NAME is not installed" and gives false,
    // running nothing.
    bool StartService() override;
    bool StopService() override;

    // Default work loop: WaitForStop until a stop is requested, so it returns
    // at once on every stop the library sees (a stop signal on any thread,
    // StopSelf from any thread), and runs each requested reload. When the
    // service manager set a watchdog (NotifyWatchdog) it sends WATCHDOG=1 on
    // entry and then at least every third of the period. Override it with
    // the service's own work; an override must return once CheckQuitFlag()
    // turns true.
    void Run() override;

    // Service lifecycle: SetServiceStateStarting; install SignalHandlerStatic
    // for SIGTERM and SIGINT (sigaction, empty mask, no SA_RESTART, so a
    // caught signal interrupts blocking calls with EINTR) and, for each of
    // SIGUSR1 and SIGHUP that still has its default action, a handler that
    // requests a reload when a handler is registered (SetReloadHandler) and
    // does nothing otherwise (SA_RESTART), so a "reload" or a hang-up leaves
    // the service running; mark the calling thread as the service's own;
    // unblock SIGTERM and SIGINT on this thread (a parent may have started
    // the process with them blocked); Initialize; if it succeeded
    // SetServiceStateRunning, then, unless that refused the start
    // (CLUMServiceApp), READY=1 to the service manager, Run, STOPPING=1; then
    // always SetServiceStateStopping, Deinitialize, SetServiceStateStopped.
    // The handlers stay installed until the object is destroyed. A stop
    // signal that arrives before they are installed ends the process. Stays
    // in the foreground: the init script does the backgrounding. Returns
    // true, or false when Initialize failed or the start was refused.
    //
    // The service manager is told only when $NOTIFY_SOCKET names a socket (a
    // path, or an abstract address written with a leading '@'), one datagram
    // per message; a failure to tell it never stops the service. Nothing is
    // sent in console mode. "STATUS=Initializing" goes before Initialize. A
    // start that fails (Initialize returns false, the start is refused, or a
    // hook throws and Main catches it) sends ERRNO=N once, so that systemd and
    // start-stop-daemon --notify-await fail the start at once: N is the errno
    // Initialize left (errno is cleared before it is called), EIO where it
    // left none, EALREADY for a refused start.
    //
    // Before SetServiceStateStarting the lifecycle takes $NOTIFY_SOCKET out of
    // the environment (kept process-wide for the library's messages, so no
    // process the service starts can speak for it; a process forked from it
    // sends nothing) and decides where serviceapp::Log writes
    // (ServiceRuntime.h). Its status texts: "Initializing" before Initialize,
    // "Running" with READY=1, "Stopping" with STOPPING=1.
    bool RunAsService() override;
    // Console lifecycle: Initialize; if it succeeded Run; then Deinitialize.
    // No state hooks and no signal handlers: SIGINT (Ctrl-C) and SIGTERM keep
    // their disposition, by default ending the process without Deinitialize.
    // Run should stop by itself (StopSelf). Returns false when Initialize
    // failed, else true.
    bool RunAsConsole() override;

    // Asks the service to stop: calls SetQuitFlag() through the virtual table
    // and wakes WaitForStop. Callable from Run, from another thread, or from
    // signal context as long as SetQuitFlag is async-signal-safe.
    virtual void StopSelf();

    // Whether this service is installed on the system: the init script this
    // library wrote (with its marker, or an earlier template) or its unit
    // is at its path. False for a name install would refuse.
    bool IsServiceInstalled();

    // Waits until a stop is requested (CheckQuitFlag() true) or milliseconds
    // have passed, whichever comes first, and returns whether a stop was
    // requested. On the service's own thread (the one that runs the
    // lifecycle) a reload request ends the wait too: it runs the reload
    // (RunPendingReload) and returns false, so the caller's loop sees what
    // the handler changed at once; a wait on another thread goes on (while
    // the request is pending, in ticks of 200 ms). Returns at once on every
    // stop the library sees: a stop signal handled on any thread, StopSelf
    // from any thread or from signal context (SetQuitFlag called directly is
    // seen at the time-out). For a client's own Run: do a unit of work, then
    // WaitForStop until the next.
    // Callable from any thread; not from signal context.
    bool WaitForStop(unsigned int milliseconds);
    // Sends WATCHDOG=1 to the service manager when it watches this process
    // ($WATCHDOG_USEC set, $WATCHDOG_PID unset or this process); does
    // nothing otherwise. A client with its own Run calls it at least twice
    // per period; the default Run does it by itself.
    void NotifyWatchdog();

    // A reload: re-reads the service's configuration (reopens its log, ...)
    // and says whether that worked. Runs on the service's own thread, never
    // in signal context.
    typedef bool (*ReloadHandler)(CUnixServiceApp& service);
    // Registers handler (null: none), best before Main: install then writes
    // the unit's reload lines (see InstallService). With one registered,
    // SIGHUP and SIGUSR1 in service mode request a reload: the signal handler
    // only marks it pending and wakes the waits (async-signal-safe, errno
    // kept). WaitForStop on the thread that runs the lifecycle, and so the
    // default Run, runs it (RunPendingReload) and returns false at once.
    // Several requests before it runs make one reload. Without a handler the
    // two signals do nothing. One handler per process.
    void SetReloadHandler(ReloadHandler handler);
    // Whether a reload was requested and has not run yet: for a Run of the
    // client's own that does not wait in WaitForStop.
    bool IsReloadPending();
    // Runs a pending reload on the calling thread, and says whether one ran:
    // sends "RELOADING=1" with "MONOTONIC_USEC=" (CLOCK_MONOTONIC, in
    // microseconds) and "STATUS=Reloading" in one datagram, calls the
    // handler, then sends "READY=1" with "STATUS=Running", or
    // "STATUS=Reload failed" when the handler returned false (the service
    // runs on either way). The notifications are
    // best effort, as READY=1 is. A request that comes while the handler
    // runs is served by the next call.
    bool RunPendingReload();

    // Unit settings, for the systemd unit InstallService writes. Call them
    // before Main; they keep per-process state, one service per process.
    //
    // Adds setting, a line "KEY=VALUE", to section "Unit", "Service" or
    // "Install" of the unit, after the library's own lines of that section,
    // in the order added, written as given (systemd expands its %
    // specifiers): User=, After= and Wants= (network-online.target),
    // Environment=, LimitNOFILE= and the like. Refused, returning false,
    // when the section is none of the three, the setting holds a line break
    // or another control character, is not KEY=VALUE with a key of letters
    // and digits, ends in a backslash (systemd would join the next line), is
    // one the lifecycle depends on (Type=, NotifyAccess=, ExecStart=,
    // ExecReload= in [Service]) or does not fit (4 KiB in all). After a
    // refusal, install where it would write the unit writes nothing: it
    // prints "Invalid unit setting [SECTION] [SETTING]: REASON" and fails.
    bool AddUnitSetting(const char* section, const char* setting);
    // Adds an argument to the unit's ExecStart= line, quoted and escaped so
    // that the program gets it byte for byte (no systemd specifiers, no
    // variables). The init script still starts the program without
    // arguments. Refused like AddUnitSetting, for a control character or
    // when the arguments do not fit (2 KiB escaped):
    // "Invalid service argument [ARGUMENT]: REASON".
    bool AddServiceArgument(const char* argument);
    // Whether the unit carries the sandbox profile (off by default): the
    // service runs as a user of its own (DynamicUser=) without capabilities,
    // sees the system read-only and may write only /var/lib/NAME, /run/NAME
    // and /var/log/NAME (StateDirectory=, RuntimeDirectory=, LogsDirectory=;
    // their paths in $STATE_DIRECTORY, $RUNTIME_DIRECTORY, $LOGS_DIRECTORY),
    // with private /tmp and devices, no view of homes or other users, the
    // kernel and control groups protected, local and internet sockets only,
    // and the @system-service system calls. README.md lists every line.
    void SetSandboxProfile(bool enabled);

    // Tests which release files exist under /etc (existence only, contents
    // never read) and stores the distribution: redhat-release (then
    // centos-release: centos, oracle-release: oracle, fedora-release: fedora,
    // else redhat), else SuSE-release: suse, else lsb-release: ubuntu, else
    // debian_version: debian, else unknown. True unless the result is
    // eDistUnknown.
    static bool DetectLinuxDistribution(eLinuxDistribution& distribution);
    // Display name of a distribution; "unknown" for any value outside 0..7.
    static const char* GetLinuxDistributionString(eLinuxDistribution distribution);

    // The SIGTERM/SIGINT handler (SIGHUP and SIGUSR1 have one of their own).
    // Runs in signal context: calls SetQuitFlag() on the registered object,
    // wakes WaitForStop and keeps errno. With no object registered it puts
    // back the default action and re-raises the signal.
    static void SignalHandlerStatic(int signal);

protected:
    // Sequence number in the run-level link names, 55. A derived class may
    // change it before Main; install and uninstall must use the same value.
    int m_rcSequence;
};

#endif
