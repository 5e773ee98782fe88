// CUnixServiceApp: the Linux service host (lifecycle, signals, distribution detection, init scripts).
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
    // If the library's signal handler is still installed for SIGTERM/SIGINT
    // when the registered object goes away, puts back their default action,
    // so a late signal ends the process as it would without the library.
    ~CUnixServiceApp() override;

    // "-install": checks the service name, /etc/init.d and the program path,
    // writes /etc/init.d/NAME for the detected distribution family (written
    // to a temporary file and renamed into place, mode 0755), and links it as
    // S/K<m_rcSequence>NAME into run levels 0..6. Prints its progress and
    // errors on standard output, one line each. True when the script and all
    // seven links are in place.
    bool InstallService() override;
    // "-uninstall": removes /etc/init.d/NAME and its seven run-level links
    // (and renumbered S/K links to the same script), printing "Removing PATH"
    // for each link. Missing files are not an error. True unless the
    // distribution is unknown, the name is invalid or a removal failed.
    bool UninstallService() override;
    // "-start" / "-stop" are not supported on this host: both return false.
    bool StartService() override;
    bool StopService() override;

    // Default work loop: waits until CheckQuitFlag() is true, waking at once
    // when SIGTERM or SIGINT is caught on this thread and otherwise every 15
    // seconds. Override it with the service's own work; an override must
    // return once CheckQuitFlag() turns true.
    void Run() override;

    // Service lifecycle: SetServiceStateStarting, install SignalHandlerStatic
    // for SIGTERM and SIGINT, Initialize; if it succeeded SetServiceStateRunning
    // and Run; then always SetServiceStateStopping, Deinitialize,
    // SetServiceStateStopped. Returns true.
    bool RunAsService() override;
    // Console lifecycle: Initialize; if it succeeded Run; then Deinitialize.
    // No state hooks and no signal handlers. Returns true.
    bool RunAsConsole() override;

    // Asks the service to stop: calls SetQuitFlag() through the virtual table.
    virtual void StopSelf();

    // Always false: the host does not look at the system for this.
    bool IsServiceInstalled();

    // Tests which release files exist under /etc (existence only) and stores
    // the distribution. True unless the result is eDistUnknown.
    static bool DetectLinuxDistribution(eLinuxDistribution& distribution);
    // Display name of a distribution; "unknown" for any value outside 0..7.
    static const char* GetLinuxDistributionString(eLinuxDistribution distribution);

    // The SIGTERM/SIGINT handler. Runs in signal context: calls SetQuitFlag()
    // on the registered object and keeps errno. With no object registered it
    // puts back the default action and re-raises the signal.
    static void SignalHandlerStatic(int signal);

protected:
    int m_rcSequence;  // sequence number in the run-level link names, 55
};

#endif
