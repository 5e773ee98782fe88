// CBaseServiceApp: the process's one service object, its names, flags, hooks and command line.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_BASESERVICEAPP_H
#define SERVICEAPP_BASESERVICEAPP_H

#include <atomic>

#include "ServiceAppExport.h"

// What Main does this time, chosen on the command line. m_action and
// GetAction() carry these values as plain integers.
enum eServiceAction : int {
    eActionRunService = 0,  // no option: RunAsService()
    eActionConsole = 1,     // "-console": RunAsConsole()
    eActionUsage = 2,       // "-help", "-?", or an argument nobody accepted: DisplayUsage()
    eActionInstall = 3,     // "-install": InstallService()
    eActionUninstall = 4,   // "-uninstall": UninstallService()
    eActionStart = 5,       // "-start": StartService()
    eActionStop = 6,        // "-stop": StopService()
    eActionCustom = 7       // SetCustomAction(): RunCustom()
};

// Root of the service class family. Clients derive from CServiceApp or
// CLUMServiceApp, create exactly one object, keep it alive for the whole
// process, name it with SetServiceName() and hand their command line to Main().
//
// The library calls every hook through the virtual table, so an override at
// any level takes effect everywhere. It starts no threads; its only
// asynchronous entry is the SIGTERM/SIGINT handler, whose one hook call is
// SetQuitFlag(). Every other hook runs on the thread that called Main().
//
// The field order, the field types and the order of the virtual operations
// below are the library's binary interface: do not reorder them.
// No operation throws; failures are reported as results.
class SERVICEAPP_EXPORT CBaseServiceApp {
public:
    // Clears the three names and the program path, sets the action to
    // eActionRunService, both flags to false and the de-initialization
    // timeout to 0. Registers nothing: Main() does that.
    CBaseServiceApp();

    // If this object is the registered service object, unregisters it so that
    // nothing (a late signal, GetServiceAppInstance) can reach it once gone.
    virtual ~CBaseServiceApp();

    // Entry point. Registers this object as the process's service object,
    // parses the command line into an action (ParseCommandLine), checks that a
    // service name is set and runs the action's operation.
    // Returns 0 on success (and after RunCustom, unless it throws), -1 if a
    // service object is already registered in this process (nothing else is
    // done, the command line is not even parsed), -3 if ParseCommandLine()
    // returned false or ParseCommandLineArgument refused an argument (the
    // usage is shown then), -2 if no service name is set after parsing, -4 if
    // m_action is outside 0..7, -5 if the action's operation returned false
    // or a hook threw.
    // An exception from any hook called from here is caught and reported on
    // standard error as "Unhandled exception in service [NAME]: WHAT" (WHAT
    // is what() of a std::exception; other exceptions give the line without
    // ": WHAT"); a service or console lifecycle it cut short still runs the
    // stopping hooks and Deinitialize it had not run yet, each once (also when
    // one of them throws in turn), and Main returns -5. A thread cancellation
    // passes through.
    // The object stays registered after Main returns, until it is destroyed,
    // so a second call returns -1.
    virtual int Main(int argc, char** argv);

    // State hooks called by the service lifecycle (CUnixServiceApp::RunAsService)
    // on the thread that called Main, never in console mode: Starting first
    // (before the signal handlers are installed), Running only after a
    // successful Initialize and right before Run, then Stopping and Stopped
    // around Deinitialize. The defaults do nothing.
    virtual void SetServiceStateStarting();
    virtual void SetServiceStateRunning();
    virtual void SetServiceStateStopping();
    virtual void SetServiceStateStopped();
    // Hooks for clients that implement pausing; the library never calls them.
    // The defaults do nothing.
    virtual void SetServiceStatePausing();
    virtual void SetServiceStatePaused();
    virtual void SetServiceStateResuming();
    virtual void SetServiceStateResumed();

    // True once a stop was requested (signal, StopSelf, SetQuitFlag). An
    // atomic read, safe to poll from the client's Run loop and from other
    // threads. The library never clears the flag.
    virtual bool CheckQuitFlag();
    // The pause flag as set by SetPausedFlag/UnsetPausedFlag.
    virtual bool CheckPausedFlag();

    // Called for "-help", "-?" or an argument nobody accepted. The default
    // prints nothing and returns true; a false result makes Main return -5.
    // After a refused argument Main returns -3 whatever it returns.
    virtual bool DisplayUsage();

    // "-install" / "-uninstall": write or remove the init script and its
    // run-level links (CUnixServiceApp documents what is written where and
    // what is printed). True on success; false makes Main return -5.
    virtual bool InstallService() = 0;
    virtual bool UninstallService() = 0;
    // "-start" / "-stop": ask the host's service manager (CUnixServiceApp
    // documents how). False makes Main return -5.
    virtual bool StartService() = 0;
    virtual bool StopService() = 0;

    // The client's own action, run when SetCustomAction() chose it. The
    // default does nothing; Main returns 0 after it unless it throws.
    virtual void RunCustom();

    // Requests a stop: sets the quit flag. Called from signal context by the
    // Unix host's handler (and by StopSelf), so an override must do only
    // async-signal-safe work: no locks, no allocation, no stdio.
    virtual void SetQuitFlag();
    // Set and clear the pause flag. The library never calls them.
    virtual void SetPausedFlag();
    virtual void UnsetPausedFlag();

    // The client's set-up, called once before Run, in service and in console
    // mode. In service mode the stop signals are already caught, so a stop may
    // be requested while it runs; Run is still called then and should return
    // at once. The default returns true; false skips the running state and
    // Run, de-initialization still runs, and RunAsService or RunAsConsole
    // returns false (Main: -5); in service mode the service manager is told
    // that the start failed (CUnixServiceApp).
    virtual bool Initialize();
    // The client's tear-down, called once after Run (or after a failed
    // Initialize), in service and in console mode. The default does nothing.
    virtual void Deinitialize();

    // Hooks for client code; the library never calls them. Defaults do nothing.
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();

    // The service's work loop, called after a successful Initialize. It must
    // return once CheckQuitFlag() is true. The base body does nothing and is
    // reached only by a qualified call; CUnixServiceApp supplies the default
    // loop.
    virtual void Run() = 0;

    // Run the service lifecycle / the console lifecycle (CUnixServiceApp
    // documents both). True on success; false makes Main return -5.
    virtual bool RunAsService() = 0;
    virtual bool RunAsConsole() = 0;

    // printf-style message, written with a newline to standard output only in
    // console mode; dropped in every other action. Cut to 1023 characters.
    // "FAILED TO FORMAT MESSAGE" replaces a message that cannot be formatted.
    // The first argument is accepted and ignored. Uses stdio: not for signal
    // context.
    virtual void LogMessage(unsigned int level, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // Offered each command-line argument that is none of the options, with
    // its index in argv (an argument equal to an option, whatever its case,
    // is taken as that option and never offered). Return true to accept it;
    // false ends the scan (later arguments are not looked at) and turns the
    // action into eActionUsage: Main shows the usage and returns -3. The
    // default accepts nothing. An override
    // should hand the arguments it does not take to its base class.
    virtual bool ParseCommandLineArgument(char* argument, int index);

    // Records argv[0] in m_programPath and scans argv[1..argc-1] for the
    // options (whole words, case ignored, the last action option winning),
    // offering every other argument to ParseCommandLineArgument. A null argv,
    // a negative argc or a null entry ends the list early. The default always
    // returns true; false from an override makes Main return -3.
    virtual bool ParseCommandLine(int argc, char** argv);

    // SetServiceName(name, nullptr, nullptr).
    void SetServiceName(const char* name);
    // Stores the service name (the init script and link names), the registry
    // name (the name CLUMServiceApp checks in under) and the auxiliary name,
    // each cut to 255 bytes and NUL-padded; a null argument clears its field.
    // The name counts as set exactly when name is non-null (an empty one too).
    void SetServiceName(const char* name, const char* registryName, const char* auxName);
    // Whether the last SetServiceName call gave a non-null name.
    bool CheckServiceNameSet();
    // The object registered by Main, or null when none is.
    static CBaseServiceApp* GetServiceAppInstance();
    // m_action as an integer (an eServiceAction value).
    int GetAction();
    // Whether the action is eActionConsole.
    bool IsConsoleMode();
    // Makes Main call RunCustom. Call it before Main or while the command line
    // is parsed; an action option parsed afterwards overrides it.
    void SetCustomAction();
    // Stores the de-initialization timeout; the library itself never reads it.
    void SetDeinitilizationTimeout(unsigned int timeout);

protected:
    char m_serviceName[256];       // names the init script and its links
    bool m_serviceNameSet;         // a non-null name was given
    char m_programPath[1024];      // argv[0] as received, at most 1023 bytes
    char m_registryName[256];      // name in the platform's service registry
    char m_auxName[256];           // stored only
    std::atomic<bool> m_quitFlag;  // set from signal context
    bool m_pausedFlag;
    unsigned int m_deinitTimeout;  // stored only
    int m_action;                  // an eServiceAction value

    // The service object registered by Main; null until then, and again once
    // that object is destroyed.
    static CBaseServiceApp* c_serviceAppInstancePtr;
};

#endif
