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
    // SIGTERM, SIGINT and SIGUSR1 where the library's handler is still the
    // installed one (a handler the client installed since is left alone), so
    // a late signal acts as it would without the library, unregisters the
    // object and closes the stop event WaitForStop waits on.
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
    // Then prints "Installing Service NAME". A distribution without a template
    // (fedora) prints "unknown init script." and returns false, touching no
    // file. Otherwise writes /etc/init.d/NAME whole or not at all: a hidden
    // temporary file in /etc/init.d, mode 0755, synced, renamed over the old
    // script (a symlink there is replaced, never followed). A failure prints
    // "Failed to create init script [/etc/init.d/NAME], ERRNO" or
    // "Failed to write init script [/etc/init.d/NAME], ERRNO" (ERRNO as a
    // number) and returns false, leaving any earlier script as it was.
    // Then makes seven symbolic links to /etc/init.d/NAME named
    // S<m_rcSequence>NAME or K<m_rcSequence>NAME, the sequence in two digits:
    // in /etc/rcN.d on Debian and Ubuntu (S in levels 2 and 5, K in 0, 1, 3,
    // 4, 6), in /etc/rc.d/rcN.d on the Red Hat family and SuSE (S in 3 and 5,
    // K in 0, 1, 2, 4, 6). A link already leading to the script (compared
    // through the real paths of the directories, so init tools' relative
    // links on linked layouts count) counts as made; any other failure prints
    // "Failed to create link [LINK]: REASON" (the system's error text), the
    // other levels are still tried, and the result is false.
    // Where /etc/systemd/system is a directory, and the script was written,
    // also writes the unit /etc/systemd/system/NAME.service (mode 0644, whole
    // or not at all like the script; Type=notify, ExecStart= the script's
    // program path; its first line marks it as written by this library) and
    // links it from multi-user.target.wants (made 0755 when missing) as
    // systemctl enable would. A unit there that is not ours (no marker, or a
    // symbolic link such as a mask) is kept with its link: "Keeping existing
    // unit [PATH]", still true. A failure prints "Failed to write unit file
    // [PATH], ERRNO" or "Failed to create link [LINK]: REASON" and gives
    // false; a name systemd cannot take as a unit name (one with '+' or
    // ending in '@') fails so with ERRNO 22.
    // Finally syncs every directory that changed, so that a successful
    // install survives a power cut; a failure prints
    // "Failed to sync [DIR]: REASON" and gives false. Runs no command.
    // True when the script, all seven links and any unit are in place.
    bool InstallService() override;
    // "-uninstall". Refuses an invalid service name, an invalid sequence and
    // an unknown distribution as InstallService does. First finds, touching
    // nothing, any other link in the seven directories named S or K, two
    // digits and exactly NAME that leads to /etc/init.d/NAME (as init tools
    // leave after renumbering; compared through the real paths of the
    // directories); a directory that cannot be read prints
    // "Failed to read [DIR]: REASON" (a missing one has nothing to find).
    // Then for each of the seven links InstallService makes prints
    // "Removing LINK" and removes it, then those renumbered links likewise in
    // sorted path order, and only then /etc/init.d/NAME, so no link is left
    // to a missing script. Where
    // /etc/systemd/system is a directory it then prints
    // "Removing .../multi-user.target.wants/NAME.service" and
    // "Removing /etc/systemd/system/NAME.service", removing the link only
    // when it leads to that unit and the unit only when it carries our
    // marker; for a unit not ours it prints only "Keeping existing unit
    // [PATH]". A file that is already gone is not an error; any other failure
    // prints "Failed to remove [PATH]: REASON" and the rest is still tried.
    // Once all is removed, every changed directory is synced
    // ("Failed to sync [DIR]: REASON").
    // True when everything is gone, else false (Main: -5).
    bool UninstallService() override;
    // "-start" / "-stop" are not supported on this host: both return false
    // (Main: -5) and print nothing.
    bool StartService() override;
    bool StopService() override;

    // Default work loop: WaitForStop until a stop is requested, so it returns
    // at once on every stop the library sees (a stop signal on any thread,
    // StopSelf from any thread). When the service manager set a watchdog
    // (NotifyWatchdog) it sends WATCHDOG=1 on entry and then at least every
    // third of the period. Override it with the service's own work; an
    // override must return once CheckQuitFlag() turns true.
    void Run() override;

    // Service lifecycle: SetServiceStateStarting; install SignalHandlerStatic
    // for SIGTERM and SIGINT (sigaction, empty mask, no SA_RESTART, so a
    // caught signal interrupts blocking calls with EINTR) and, when SIGUSR1
    // still has its default action, a handler that does nothing (SA_RESTART),
    // so the init script's "reload" leaves the service running; unblock
    // SIGTERM and SIGINT on this thread (a parent may have started the
    // process with them blocked); Initialize; if it succeeded
    // SetServiceStateRunning, READY=1 to the service manager, Run, STOPPING=1;
    // then always SetServiceStateStopping, Deinitialize,
    // SetServiceStateStopped. The handlers stay installed until the object is
    // destroyed. A stop signal that arrives before they are installed ends
    // the process. Stays in the foreground: the init script does the
    // backgrounding. Returns true.
    //
    // The service manager is told only when $NOTIFY_SOCKET names a socket (a
    // path, or an abstract address written with a leading '@'), one datagram
    // per message; a failure to tell it never stops the service. Nothing is
    // sent when Initialize fails, nor in console mode.
    bool RunAsService() override;
    // Console lifecycle: Initialize; if it succeeded Run; then Deinitialize.
    // No state hooks and no signal handlers: SIGINT (Ctrl-C) and SIGTERM keep
    // their disposition, by default ending the process without Deinitialize.
    // Run should stop by itself (StopSelf). Returns true.
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
    // requested. Returns at once on every stop the library sees: a stop
    // signal handled on any thread, StopSelf from any thread or from signal
    // context (SetQuitFlag called directly is seen at the time-out). For a
    // client's own Run: do a unit of work, then WaitForStop until the next.
    // Callable from any thread; not from signal context.
    bool WaitForStop(unsigned int milliseconds);
    // Sends WATCHDOG=1 to the service manager when it watches this process
    // ($WATCHDOG_USEC set, $WATCHDOG_PID unset or this process); does
    // nothing otherwise. A client with its own Run calls it at least twice
    // per period; the default Run does it by itself.
    void NotifyWatchdog();

    // Tests which release files exist under /etc (existence only, contents
    // never read) and stores the distribution: redhat-release (then
    // centos-release: centos, oracle-release: oracle, fedora-release: fedora,
    // else redhat), else SuSE-release: suse, else lsb-release: ubuntu, else
    // debian_version: debian, else unknown. True unless the result is
    // eDistUnknown.
    static bool DetectLinuxDistribution(eLinuxDistribution& distribution);
    // Display name of a distribution; "unknown" for any value outside 0..7.
    static const char* GetLinuxDistributionString(eLinuxDistribution distribution);

    // The SIGTERM/SIGINT handler. Runs in signal context: calls SetQuitFlag()
    // on the registered object, wakes WaitForStop and keeps errno. With no object registered it
    // puts back the default action and re-raises the signal.
    static void SignalHandlerStatic(int signal);

protected:
    // Sequence number in the run-level link names, 55. A derived class may
    // change it before Main; install and uninstall must use the same value.
    int m_rcSequence;
};

#endif
