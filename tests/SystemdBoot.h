// The host's systemd booted as process 1 in private namespaces, for end-to-end runs of installed units.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_TESTS_SYSTEMDBOOT_H
#define SERVICEAPP_TESTS_SYSTEMDBOOT_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

// One booted system. It sees the host's files through a read-only root, with
// overlays over /etc and /var (their upper layers in Dir()), fresh tmpfs on
// /run, /tmp, /var/tmp and /dev, /sys read-only, /proc/sys read-only (the
// host's /proc, /sys and /dev mounts detached, not merely covered), its own
// cgroup subtree and no capability to load modules, set the clock or reboot.
// Only the units in its /etc/systemd/system exist: a handful of empty targets
// (it boots to serviceapp-test.target) and what a test installs, so nothing
// of the host's is started. Dir() has the same path inside and out, and so
// have the directories in keep (read-only), also when a fresh tmpfs covers
// where they are (a build tree under /tmp).
class BootedSystemd {
public:
    // Boots and waits (at most bootSeconds) for the system to be running;
    // Failure() says why not. The whole system is killed after lifeSeconds
    // whatever happens to the test.
    explicit BootedSystemd(const std::vector<std::string>& keep = {}, unsigned bootSeconds = 90,
                           unsigned lifeSeconds = 900);
    // Shut() if still up.
    ~BootedSystemd();
    BootedSystemd(const BootedSystemd&) = delete;
    BootedSystemd& operator=(const BootedSystemd&) = delete;

    // Empty while the system runs (or once it was shut down cleanly), else what went wrong.
    const std::string& Failure() const { return m_failure; }
    // Runs body in a child that has joined every namespace of the system;
    // what it starts runs inside.
    ChildResult In(const std::function<int()>& body, unsigned timeoutSeconds = 60);
    // Runs a program inside with its output captured (127: could not be run).
    ChildResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                    unsigned timeoutSeconds = 60);
    // systemctl ARGS inside: its standard output without the final newline.
    std::string Systemctl(const std::vector<std::string>& args, int* exitCode = nullptr);
    // Checks the fence (every writable mount process 1 has is one of ours;
    // /, /sys and /proc/sys read-only) and notes what the system wrote, asks
    // it to exit, waits for process 1 (killing it when it does not go),
    // removes its cgroup subtree; then compares with the host before the boot
    // what the system wrote (its entries of /, /run, /tmp, /var/tmp and its
    // overlays' changes), the canaries and the kernel settings: others may
    // change the rest of the host meanwhile. Empty when the shutdown was
    // clean, the fence held and none of those changed, else what went wrong.
    std::string Shut(unsigned timeoutSeconds = 60);

    // The scratch directory (also the overlays' layers and the console log).
    const std::string& Dir() const { return m_dir.path; }
    // What systemd wrote to its console.
    std::string Console() const;
    // Null when this host can boot it (root, /lib/systemd/systemd, cgroup2,
    // namespaces), else why not.
    static const char* Unavailable();

private:
    bool Boot(const std::vector<std::string>& keep, unsigned bootSeconds, unsigned lifeSeconds);

    TempDir m_dir;
    std::string m_cgroup;                                 // the subtree given to the system, on the host
    std::map<std::string, std::string> m_hostBefore;      // every path the system could write
    std::map<std::string, std::string> m_settingsBefore;  // canaries, kernel settings, / writable
    std::vector<std::string> m_canaries;                  // old files in the host's /tmp and /var/tmp
    int m_supervisor = -1;  // the supervisor's pid: it set up the namespaces and reaps process 1
    int m_supervisorFd = -1;
    int m_initFd = -1;  // pidfd of process 1
    int m_initPid = -1;
    std::string m_failure;
};

// Polls pred every 20 ms until it holds (true) or timeoutSeconds have passed (false).
bool Eventually(const std::function<bool()>& pred, unsigned timeoutSeconds);

}  // namespace testsupport

#endif
