// The host's systemd booted as process 1 in private namespaces, for end-to-end runs of installed units.
// SPDX-License-Identifier: MIT
#include "SystemdBoot.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/magic.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

const char kSystemd[] = "/lib/systemd/systemd";
const char kSystemctl[] = "/bin/systemctl";
const int kNamespaces =
    CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWNET | CLONE_NEWPID | CLONE_NEWCGROUP;

// The units of the test system: empty targets for the ones a service's
// default dependencies and a container's exit name, and the exit itself.
const std::pair<const char*, const char*> kUnits[] = {
    {"serviceapp-test.target", "[Unit]\nDescription=Test system\n"},
    {"sysinit.target", "[Unit]\nDescription=System Initialization\nDefaultDependencies=no\n"},
    {"basic.target", "[Unit]\nDescription=Basic System\nDefaultDependencies=no\n"},
    {"multi-user.target", "[Unit]\nDescription=Multi-User System\nDefaultDependencies=no\n"},
    {"shutdown.target", "[Unit]\nDescription=Shutdown\nDefaultDependencies=no\nRefuseManualStart=yes\n"},
    {"umount.target", "[Unit]\nDescription=Unmount All Filesystems\nDefaultDependencies=no\n"},
    {"final.target", "[Unit]\nDescription=Late Shutdown\nDefaultDependencies=no\n"},
    {"exit.target",
     "[Unit]\nDescription=Exit the Container\nDefaultDependencies=no\n"
     "Requires=systemd-exit.service\nAfter=systemd-exit.service\nAllowIsolate=yes\n"},
    {"systemd-exit.service",
     "[Unit]\nDescription=Exit the Container\nDefaultDependencies=no\n"
     "Requires=shutdown.target umount.target final.target\nAfter=shutdown.target umount.target final.target\n"
     "SuccessAction=exit-force\n"},
};

// Through syscall(): this C library's <sys/pidfd.h> lacks C linkage for C++.
int PidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int PidfdKill(int pidfd)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
}

std::string Errno(const std::string& what)
{
    return what + ": " + strerror(errno);
}

// Where the cgroup2 hierarchy is mounted on the host ("" when it is not).
std::string Cgroup2Mount()
{
    std::istringstream in(ReadFile("/proc/self/mountinfo"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string field, mountPoint;
        for (int i = 0; i < 5 && fields >> field; ++i) {
            mountPoint = field;
        }
        size_t dash = line.find(" - ");
        if (dash != std::string::npos && line.compare(dash + 3, 8, "cgroup2 ") == 0) {
            return mountPoint;
        }
    }
    return "";
}

// This process's cgroup in the cgroup2 hierarchy.
std::string OwnCgroup2()
{
    std::istringstream in(ReadFile("/proc/self/cgroup"));
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 3, "0::") == 0) {
            return line.substr(3) == "/" ? "" : line.substr(3);
        }
    }
    return "";
}

// How a host path looks: "missing", else its type, and but for a directory
// (whose entries others change, one by one compared where reached) also its
// mode, owner, size, inode, time and link target.
std::string Describe(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return "missing";
    }
    std::ostringstream out;
    out << "type " << std::oct << (st.st_mode & S_IFMT);
    if (!S_ISDIR(st.st_mode)) {
        out << " mode " << st.st_mode << std::dec << ' ' << st.st_uid << ':' << st.st_gid << ' ' << st.st_size
            << ' ' << st.st_ino << ' ' << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec;
    }
    if (S_ISLNK(st.st_mode)) {
        std::error_code error;
        out << " -> " << fs::read_symlink(path, error).string();
    }
    return out.str();
}

// Every path the booted system could write on the host were its overlays and
// tmpfs not there: all of /etc and /var, and the entries of /, /run and /tmp.
std::map<std::string, std::string> HostPaths()
{
    std::map<std::string, std::string> paths;
    for (const char* top : {"/etc", "/var"}) {
        std::error_code error;
        fs::recursive_directory_iterator it(top, fs::directory_options::skip_permission_denied, error), end;
        for (; it != end; it.increment(error)) {
            paths[it->path().string()] = Describe(it->path().string());
        }
    }
    for (const char* dir : {"/", "/run", "/tmp"}) {
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir, error)) {
            paths[entry.path().string()] = Describe(entry.path().string());
        }
    }
    return paths;
}

// What the system reaches on the host whatever it writes: our canaries (a
// clean-up by age of the host's /tmp would remove them), the kernel settings
// process 1 adjusts, and whether / is writable.
std::map<std::string, std::string> HostSettings(const std::vector<std::string>& canaries)
{
    std::map<std::string, std::string> state;
    for (const std::string& canary : canaries) {
        state[canary] = Describe(canary);
    }
    for (const char* setting : {"fs/file-max", "fs/nr_open", "kernel/hostname", "kernel/domainname",
                                "kernel/core_pattern", "net/unix/max_dgram_qlen"}) {
        state[std::string("/proc/sys/") + setting] = ReadFile(std::string("/proc/sys/") + setting);
    }
    struct statvfs vfs;
    state["/ writable"] = statvfs("/", &vfs) == 0 && (vfs.f_flag & ST_RDONLY) == 0 ? "yes" : "no";
    return state;
}

// One line of a mountinfo file.
struct Mount {
    std::string device;  // MAJOR:MINOR of its file system
    std::string root;    // the directory of that file system mounted here
    std::string point;
    bool writable = false;
    std::string type;
    std::string options;  // the file system's own
};

std::string Unescape(const std::string& field)  // mountinfo writes ' ', '\t', '\n', '\\' as \ooo
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<Mount> Mounts(const std::string& mountinfo)
{
    std::vector<Mount> mounts;
    std::istringstream in(ReadFile(mountinfo));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, perMount, field;
        Mount m;
        fields >> id >> parent >> m.device >> m.root >> m.point >> perMount;
        while (fields >> field && field != "-") {
        }
        fields >> m.type >> field >> m.options;
        m.root = Unescape(m.root);
        m.point = Unescape(m.point);
        m.writable = perMount.compare(0, 3, "rw,") == 0 || perMount == "rw";
        mounts.push_back(m);
    }
    return mounts;
}

bool Under(const std::string& path, const std::string& dir)
{
    return dir == "/" || path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0;
}

// The fence itself, read from process 1's mountinfo: every writable mount of
// its namespace is ours (a fresh file system of a kind that reaches nothing
// of the host, an overlay whose changes go to the scratch directory, the
// scratch directory itself, or its own cgroup subtree), and /, /sys and
// /proc/sys are read-only. "" when it holds, else each mount that breaks it.
std::string FenceProblems(int initPid, const std::string& dir, const std::string& cgroup)
{
    std::vector<Mount> host = Mounts("/proc/self/mountinfo");
    std::string dirRoot;  // the scratch directory as a path in its file system
    size_t longest = 0;
    for (const Mount& m : host) {
        if (Under(dir, m.point) && m.point.size() >= longest) {
            longest = m.point.size();
            dirRoot = (m.root == "/" ? "" : m.root) + (m.point == "/" ? dir : dir.substr(m.point.size()));
        }
    }
    const std::string cgroupRoot = cgroup.substr(Cgroup2Mount().size());
    std::string problems;
    std::map<std::string, bool> readOnly = {{"/", false}, {"/sys", false}, {"/proc/sys", false}};
    for (const Mount& m : Mounts("/proc/" + std::to_string(initPid) + "/mountinfo")) {
        if (readOnly.count(m.point) != 0) {
            readOnly[m.point] = !m.writable;  // the last mount at a point is the one seen
        }
        bool hostDevice =
            std::any_of(host.begin(), host.end(), [&](const Mount& h) { return h.device == m.device; });
        bool fresh = !hostDevice && (m.type == "tmpfs" || m.type == "devpts" || m.type == "proc" ||
                                     m.type == "mqueue" || m.type == "ramfs");
        bool ours = !m.writable || fresh ||
                    (m.type == "overlay" && m.options.find("upperdir=" + dir + "/") != std::string::npos) ||
                    (m.type == "cgroup2" && m.root == cgroupRoot) ||
                    (Under(m.point, dir) && m.root == dirRoot + m.point.substr(dir.size()));
        if (!ours) {
            problems +=
                "writable mount not ours: " + m.point + " (" + m.type + " " + m.device + " " + m.root + ")\n";
        }
    }
    for (const auto& [point, ro] : readOnly) {
        problems += ro ? "" : point + " is not read-only in the system\n";
    }
    return problems;
}

// What the running system wrote where the host has the same paths: each
// entry of its /, /run, /tmp and /var/tmp (by type: others come and go on the
// host too) and each path in its overlays' upper layers (in full, but for
// directories).
void AddReached(std::map<std::string, bool>& reached, int initPid)
{
    for (const char* dir : {"/", "/run/", "/tmp/", "/var/tmp/"}) {
        std::error_code error;
        std::string inside = "/proc/" + std::to_string(initPid) + "/root" + dir;
        for (const fs::directory_entry& entry : fs::directory_iterator(inside, error)) {
            reached.emplace(dir + entry.path().filename().string(), false);
        }
    }
}

void AddWritten(std::map<std::string, bool>& reached, const std::string& dir)
{
    for (const char* top : {"etc", "var"}) {
        std::error_code error;
        const std::string upper = dir + "/" + top + "/upper";
        for (fs::recursive_directory_iterator it(upper, error), end; it != end; it.increment(error)) {
            reached["/" + std::string(top) + it->path().string().substr(upper.size())] =
                !it->is_directory(error) || it->is_symlink(error);
        }
    }
}

// Removes a cgroup subtree, deepest first; retried while its last processes are still going.
bool RemoveCgroup(const std::string& root)
{
    return Eventually(
        [&] {
            std::error_code error;
            std::vector<std::string> dirs;
            for (fs::recursive_directory_iterator it(root, error), end; it != end; it.increment(error)) {
                if (it->is_directory(error) && !it->is_symlink(error)) {
                    dirs.push_back(it->path().string());
                }
            }
            for (auto dir = dirs.rbegin(); dir != dirs.rend(); ++dir) {
                (void)rmdir(dir->c_str());  // a busy one is retried on the next round
            }
            return rmdir(root.c_str()) == 0 || errno == ENOENT;
        },
        30);
}

bool IsFs(const char* path, long magic)
{
    struct statfs st;
    return statfs(path, &st) == 0 && static_cast<long>(st.f_type) == magic;
}

bool IsReadOnly(const char* path)
{
    struct statvfs st;
    return statvfs(path, &st) == 0 && (st.f_flag & ST_RDONLY) != 0;
}

// Unmounts the tree at path in this mount namespace; true also when nothing is mounted there.
bool Detach(const char* path)
{
    return umount2(path, MNT_DETACH) == 0 || errno == EINVAL;
}

// In the supervisor, now in its own mount namespace: everything process 1
// will see but /proc. A description of the first failure, or "".
std::string MountSystem(const std::string& dir, const std::vector<std::string>& keep)
{
    auto overlay = [&](const char* target, const std::string& layer) {
        std::string options = std::string("lowerdir=") + target + ",upperdir=" + dir + "/" + layer +
                              "/upper,workdir=" + dir + "/" + layer + "/work";
        return mount("overlay", target, "overlay", 0, options.c_str()) == 0;
    };
    auto tmpfs = [](const char* target, const char* options) {
        return mount("tmpfs", target, "tmpfs", MS_NOSUID | MS_NODEV, options) == 0;
    };
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return Errno("making / private");
    }
    // The scratch directory (writable) and the kept ones (read-only) keep
    // their paths inside, also where a fresh tmpfs covers them: detached
    // copies now, attached again on top.
    std::vector<std::pair<std::string, int>> kept;
    for (const std::string& path : keep) {
        kept.emplace_back(path, -1);
    }
    kept.emplace_back(dir, -1);
    for (auto& [path, fd] : kept) {
        if ((fd = open_tree(AT_FDCWD, path.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC)) < 0) {
            return Errno("copying the mount of " + path);
        }
    }
    if (!overlay("/etc", "etc") || !overlay("/var", "var")) {
        return Errno("overlay over /etc or /var");
    }
    if (!tmpfs("/run", "mode=0755") || !tmpfs("/tmp", "mode=1777") || !tmpfs("/var/tmp", "mode=1777")) {
        return Errno("tmpfs over /run, /tmp or /var/tmp");
    }
    for (auto& [path, fd] : kept) {
        std::error_code error;
        fs::create_directories(path, error);  // in a fresh tmpfs; elsewhere it is there already
        if (move_mount(fd, "", AT_FDCWD, path.c_str(), MOVE_MOUNT_F_EMPTY_PATH) != 0 ||
            (path != dir &&
             mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)) {
            return Errno("mounting " + path + " again");
        }
        close(fd);
    }
    // MS_BIND: only this namespace's copy of the root mount turns read-only, never the file system.
    if (mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        return Errno("making / read-only");
    }
    // The host's /sys and /dev trees go rather than lie beneath ours, where
    // unmounting ours would uncover them writable.
    if (!Detach("/sys") || !Detach("/dev")) {
        return Errno("detaching the host's /sys or /dev");
    }
    if (mount("sysfs", "/sys", "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0 ||
        mount("cgroup2", "/sys/fs/cgroup", "cgroup2", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        return Errno("sysfs or cgroup2");
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755,size=4m") != 0 ||
        mkdir("/dev/pts", 0755) != 0 || mkdir("/dev/shm", 01777) != 0 ||
        mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") !=
            0) {
        return Errno("/dev");
    }
    const std::pair<const char*, int> devices[] = {
        {"null", 3}, {"zero", 5}, {"full", 7}, {"random", 8}, {"urandom", 9}};
    for (const auto& [name, minor] : devices) {
        if (mknod((std::string("/dev/") + name).c_str(), S_IFCHR | 0666, makedev(1, minor)) != 0) {
            return Errno(std::string("/dev/") + name);
        }
    }
    (void)mknod("/dev/tty", S_IFCHR | 0666, makedev(5, 0));
    for (const auto& [link, target] : {std::pair<const char*, const char*>{"/dev/ptmx", "pts/ptmx"},
                                       {"/dev/fd", "/proc/self/fd"},
                                       {"/dev/stdin", "/proc/self/fd/0"},
                                       {"/dev/stdout", "/proc/self/fd/1"},
                                       {"/dev/stderr", "/proc/self/fd/2"}}) {
        (void)!symlink(target, link);
    }
    // Checked, not assumed: process 1 must see none of the host's writable places.
    const std::pair<const char*, long> expected[] = {{"/etc", OVERLAYFS_SUPER_MAGIC},
                                                     {"/var", OVERLAYFS_SUPER_MAGIC},
                                                     {"/run", TMPFS_MAGIC},
                                                     {"/tmp", TMPFS_MAGIC},
                                                     {"/var/tmp", TMPFS_MAGIC},
                                                     {"/dev", TMPFS_MAGIC},
                                                     {"/sys/fs/cgroup", CGROUP2_SUPER_MAGIC}};
    for (const auto& [path, magic] : expected) {
        if (!IsFs(path, magic)) {
            return std::string("unexpected file system at ") + path;
        }
    }
    if (!IsReadOnly("/") || !IsReadOnly("/sys")) {
        return "/ or /sys is not read-only";
    }
    return "";
}

// A pseudo-terminal for systemd's console: systemd writes its log only to a
// terminal. The master is returned; the slave is bound over /dev/console.
int OpenConsole(std::string& error)
{
    int master = open("/dev/pts/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || unlockpt(master) != 0) {
        error = Errno("console pseudo-terminal");
        return -1;
    }
    const char* slave = ptsname(master);
    int console = open("/dev/console", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (slave == nullptr || console < 0 || mount(slave, "/dev/console", nullptr, MS_BIND, nullptr) != 0) {
        error = Errno("binding the console");
        return -1;
    }
    close(console);
    return master;
}

[[noreturn]] void ExecInit(const std::string& dir)
{
    // The supervisor goes only when the test does; then so does everything here.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getpid() != 1) {
        _exit(96);
    }
    if (!Detach("/proc") || mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0 ||
        mount("/proc/sys", "/proc/sys", nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, "/proc/sys", nullptr,
              MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        perror("/proc");
        _exit(95);
    }
    if (access("/proc/sysrq-trigger", F_OK) == 0 &&
        (mount("/proc/sysrq-trigger", "/proc/sysrq-trigger", nullptr, MS_BIND, nullptr) != 0 ||
         mount(nullptr, "/proc/sysrq-trigger", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)) {
        perror("/proc/sysrq-trigger");
        _exit(95);
    }
    // Kernel-wide powers a container never needs; rebooting ends only this
    // namespace anyway, but without CAP_SYS_BOOT nothing can even try.
    for (int cap : {CAP_SYS_MODULE, CAP_SYS_TIME, CAP_SYS_RAWIO, CAP_SYSLOG, CAP_SYS_BOOT, CAP_WAKE_ALARM,
                    CAP_BLOCK_SUSPEND, CAP_SYS_PACCT, CAP_MAC_ADMIN, CAP_MAC_OVERRIDE, CAP_LINUX_IMMUTABLE,
                    CAP_AUDIT_CONTROL}) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            perror("dropping capabilities");
            _exit(95);
        }
    }
    int null = open("/dev/null", O_RDONLY);
    int console = open("/dev/console", O_WRONLY | O_NOCTTY);
    if (null < 0 || console < 0 || dup2(null, 0) < 0 || dup2(console, 1) < 0 || dup2(console, 2) < 0) {
        _exit(95);
    }
    (void)close_range(3, ~0U, 0);
    const std::string generators = dir + "/empty";
    std::string env[] = {"container=serviceapp-test", "LANG=C", "SYSTEMD_UNIT_PATH=/etc/systemd/system",
                         "SYSTEMD_GENERATOR_PATH=" + generators,
                         "SYSTEMD_ENVIRONMENT_GENERATOR_PATH=" + generators};
    std::vector<char*> envp;
    for (std::string& entry : env) {
        envp.push_back(&entry[0]);
    }
    envp.push_back(nullptr);
    Argv argv({kSystemd, "--unit=serviceapp-test.target", "--show-status=no", "--log-target=console",
               "--log-level=info", "--log-color=no", "--log-time=yes"});
    execve(kSystemd, argv.argv(), envp.data());
    _exit(127);
}

// The supervisor: sets up the namespaces, starts process 1 in them, reports
// its pid (or what failed) on report, copies the console to the log and
// waits for process 1, killing it after lifeSeconds. Exits with its status.
[[noreturn]] void Supervise(const std::string& dir, const std::vector<std::string>& keep,
                            const std::string& cgroup, int report, unsigned lifeSeconds, pid_t test)
{
    auto fail = [&](const std::string& why) {
        dprintf(report, "ERR %s\n", why.c_str());
        _exit(99);
    };
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != test) {
        _exit(98);
    }
    if (!WriteFile(cgroup + "/cgroup.procs", std::to_string(getpid()))) {
        fail("could not join " + cgroup);
    }
    if (unshare(kNamespaces) != 0) {
        fail(Errno("unshare"));
    }
    std::string error = MountSystem(dir, keep);
    int master = error.empty() ? OpenConsole(error) : -1;
    if (!error.empty()) {
        fail(error);
    }
    (void)!sethostname("serviceapp-test", strlen("serviceapp-test"));
    // Kept open here so that the terminal never hangs up between systemd's writes.
    int slave = open("/dev/console", O_RDWR | O_NOCTTY | O_CLOEXEC);
    int log = open((dir + "/console.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_t init = fork();
    if (init == 0) {
        ExecInit(dir);
    }
    if (init < 0 || slave < 0 || log < 0) {
        fail(Errno("starting process 1"));
    }
    dprintf(report, "OK %d\n", static_cast<int>(init));
    close(report);
    long long deadline = NowUs() + lifeSeconds * 1000000LL;  // 0 once it has passed
    int status = 0;
    char buffer[4096];
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            ssize_t n = read(master, buffer, sizeof(buffer));
            if (n > 0) {
                (void)!write(log, buffer, static_cast<size_t>(n));
            }
        }
        pid_t r = waitpid(init, &status, WNOHANG);
        if (r == init || (r < 0 && errno != EINTR)) {
            break;
        }
        if (deadline != 0 && NowUs() > deadline) {
            dprintf(log, "\nserviceapp-test: process 1 still running after %u s, killed\n", lifeSeconds);
            (void)kill(init, SIGKILL);  // our own child, not yet reaped: the pid is still its own
            deadline = 0;
        }
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// Waits up to timeoutSeconds for the process behind pidfd to end.
bool WaitPidfd(int pidfd, unsigned timeoutSeconds)
{
    struct pollfd p = {pidfd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeoutSeconds) * 1000) > 0;
}

}  // namespace

bool Eventually(const std::function<bool()>& pred, unsigned timeoutSeconds)
{
    const long long deadline = NowUs() + timeoutSeconds * 1000000LL;
    while (!pred()) {
        if (NowUs() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

BootedSystemd::BootedSystemd(const std::vector<std::string>& keep, unsigned bootSeconds, unsigned lifeSeconds)
{
    if (const char* why = Unavailable()) {
        m_failure = why;
    } else if (!Boot(keep, bootSeconds, lifeSeconds) && m_supervisor >= 0) {
        m_failure += "\n" + Shut(30);
    }
}

BootedSystemd::~BootedSystemd()
{
    if (m_supervisor >= 0) {
        (void)Shut();  // a test that wanted the verdict called it itself
    }
    for (const std::string& canary : m_canaries) {
        (void)unlink(canary.c_str());  // best effort: it is ours, in the host's /tmp
    }
}

bool BootedSystemd::Boot(const std::vector<std::string>& keep, unsigned bootSeconds, unsigned lifeSeconds)
{
    std::error_code error;
    const std::string units = Dir() + "/etc/upper/systemd/system";
    for (const char* dir : {"etc/work", "var/upper", "var/work", "empty"}) {
        fs::create_directories(Dir() + "/" + dir, error);
    }
    fs::create_directories(units, error);
    // Opaque: the host's units and links in /etc/systemd/system stay out of sight.
    if (setxattr(units.c_str(), "trusted.overlay.opaque", "y", 1, 0) != 0) {
        m_failure = Errno("marking " + units + " opaque");
        return false;
    }
    for (const auto& [name, text] : kUnits) {
        if (!WriteFile(units + "/" + name, text)) {
            m_failure = "could not write " + units + "/" + name;
            return false;
        }
    }
    static int boots = 0;
    const std::string parent = Cgroup2Mount() + OwnCgroup2(), prefix = "serviceapp-systemd-";
    // What a test killed before it could tidy up left behind (its pid is in the name).
    for (const fs::directory_entry& entry : fs::directory_iterator(parent, error)) {
        std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0 && kill(atoi(name.c_str() + prefix.size()), 0) != 0 &&
            errno == ESRCH) {
            (void)RemoveCgroup(entry.path().string());  // best effort: a leftover, not this run's
        }
    }
    m_cgroup = parent + "/" + prefix + std::to_string(getpid()) + "-" + std::to_string(++boots);
    if (mkdir(m_cgroup.c_str(), 0755) != 0) {
        m_failure = Errno("creating cgroup " + m_cgroup);
        m_cgroup.clear();
        return false;
    }
    // Old files of our own where a clean-up by age would remove them first.
    for (const char* dir : {"/tmp", "/var/tmp"}) {
        std::string canary = std::string(dir) + "/serviceapp-canary-XXXXXX";
        int fd = mkstemp(&canary[0]);
        const struct timespec old[2] = {{time(nullptr) - 90 * 86400, 0}, {time(nullptr) - 90 * 86400, 0}};
        if (fd < 0 || futimens(fd, old) != 0) {
            m_failure = Errno("canary in " + std::string(dir));
            return false;
        }
        close(fd);
        m_canaries.push_back(canary);
    }
    m_hostBefore = HostPaths();
    m_settingsBefore = HostSettings(m_canaries);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        m_failure = Errno("pipe");
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t test = getpid();
    pid_t supervisor = fork();
    if (supervisor == 0) {
        close(report[0]);
        Supervise(Dir(), keep, m_cgroup, report[1], lifeSeconds, test);
    }
    close(report[1]);
    if (supervisor < 0) {
        close(report[0]);
        m_failure = Errno("fork");
        return false;
    }
    m_supervisor = supervisor;
    m_supervisorFd = PidfdOpen(supervisor);
    std::string line;
    char c = 0;
    struct pollfd p = {report[0], POLLIN, 0};
    while (poll(&p, 1, 30000) > 0 && read(report[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(report[0]);
    if (line.compare(0, 3, "OK ") != 0) {
        m_failure = line.empty() ? "the supervisor ended without a word" : line;
        return false;
    }
    m_initPid = atoi(line.c_str() + 3);
    // Taken while the supervisor cannot have reaped it: it reaps only to exit.
    m_initFd = PidfdOpen(m_initPid);
    if (m_supervisorFd < 0 || m_initFd < 0) {
        m_failure = Errno("pidfd_open");
        return false;
    }
    ChildResult state;
    bool up = Eventually(
        [&] {
            state = Run({kSystemctl, "is-system-running"});
            return state.out == "running\n" || state.out == "degraded\n" || WaitPidfd(m_supervisorFd, 0);
        },
        bootSeconds);
    // Were the host's units in reach, a service's default dependencies would
    // pull in what sysinit.target wants on the host: refuse to go on.
    const std::string unitPath = Systemctl({"show", "--property=UnitPath", "--value"});
    if (up && unitPath != "/etc/systemd/system") {
        m_failure = "the manager looks for units beyond /etc/systemd/system: " + unitPath;
        return false;
    }
    if (!up || state.out != "running\n") {
        m_failure = "the system did not come up (is-system-running: exit " + std::to_string(state.exitCode) +
                    " signal " + std::to_string(state.signal) + " " + state.out + state.err + ")\n" +
                    Systemctl({"list-units", "--all", "--failed"}) + "\nconsole:\n" + Console();
        return false;
    }
    return true;
}

ChildResult BootedSystemd::In(const std::function<int()>& body, unsigned timeoutSeconds)
{
    return RunInChild(
        [&] {
            // One call joins all of process 1's namespaces, through its pidfd, so a reused pid cannot misdirect it.
            if (m_initFd < 0 || setns(m_initFd, kNamespaces) != 0 || chdir("/") != 0) {
                perror("joining the system's namespaces");
                return 97;
            }
            return body();
        },
        timeoutSeconds);
}

ChildResult BootedSystemd::Run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                               unsigned timeoutSeconds)
{
    return In(
        [&] {
            // Forked after joining, so the program is inside the PID namespace too;
            // it writes straight to the captured output (this process's /proc/self
            // is not in the system's /proc).
            pid_t pid = fork();
            if (pid == 0) {
                Argv args(argv);
                for (const std::string& entry : env) {
                    putenv(const_cast<char*>(entry.c_str()));
                }
                execv(args.argv()[0], args.argv());
                _exit(127);
            }
            int status = 0;
            if (pid < 0 || waitpid(pid, &status, 0) != pid) {
                return 127;
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        },
        timeoutSeconds);
}

std::string BootedSystemd::Systemctl(const std::vector<std::string>& args, int* exitCode)
{
    std::vector<std::string> argv = {kSystemctl, "--no-pager", "--no-ask-password"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildResult r = Run(argv, {"SYSTEMD_COLORS=0"}, 120);
    if (exitCode != nullptr) {
        *exitCode = r.exitCode;
    }
    if (!r.out.empty() && r.out.back() == '\n') {
        r.out.pop_back();
    }
    return r.out;
}

std::string BootedSystemd::Shut(unsigned timeoutSeconds)
{
    if (m_supervisor < 0) {
        return m_failure;
    }
    std::string problems;
    std::map<std::string, bool> reached;  // host path -> compared in full
    if (m_initFd >= 0) {
        problems += FenceProblems(m_initPid, Dir(), m_cgroup);
        AddReached(reached, m_initPid);
        if (WaitPidfd(m_initFd, 0)) {
            problems += "process 1 ended before its mounts could be checked\n";
        }
        // The manager may drop the connection as it exits: the exit itself is the answer.
        (void)Systemctl({"exit"});
        if (!WaitPidfd(m_supervisorFd, timeoutSeconds)) {
            problems += "process 1 did not exit within " + std::to_string(timeoutSeconds) + " s: killed\n";
            (void)PidfdKill(m_initFd);
        }
    }
    if (!WaitPidfd(m_supervisorFd, 30)) {
        problems += "the supervisor did not end: killed\n";
        (void)kill(m_supervisor, SIGKILL);  // our child, not yet reaped
    }
    int status = 0;
    (void)waitpid(m_supervisor, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        problems += "process 1 ended with status " + std::to_string(WEXITSTATUS(status)) + "\n";
    }
    for (int* fd : {&m_initFd, &m_supervisorFd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    m_supervisor = -1;
    if (!m_cgroup.empty() && !RemoveCgroup(m_cgroup)) {
        problems += "cgroup " + m_cgroup + " could not be removed\n";
    }
    if (!m_hostBefore.empty()) {
        AddWritten(reached, Dir());
        for (const auto& [path, full] : reached) {
            auto known = m_hostBefore.find(path);
            std::string before = known != m_hostBefore.end() ? known->second : "missing";
            std::string now = Describe(path);
            if (!full) {
                before = before.substr(0, before.find(" mode"));
                now = now.substr(0, now.find(" mode"));
            }
            if (before != now) {
                problems += "host changed: " + path + " (" + before + " -> " + now + ")\n";
            }
        }
        std::map<std::string, std::string> settings = HostSettings(m_canaries);
        for (const auto& [what, before] : m_settingsBefore) {
            const std::string& now = settings[what];
            if (now != before) {
                problems += "host changed: " + what + " (" + before + " -> " + now + ")\n";
            }
        }
    }
    if (!problems.empty()) {
        m_failure += problems + "console:\n" + Console();
    }
    return problems;
}

std::string BootedSystemd::Console() const
{
    std::string log = ReadFile(Dir() + "/console.log");
    log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());
    return log;
}

const char* BootedSystemd::Unavailable()
{
    static const std::string reason = []() -> std::string {
        if (geteuid() != 0) {
            return "needs root: namespaces, mounts and a cgroup for a systemd of its own";
        }
        if (access(kSystemd, X_OK) != 0 || access(kSystemctl, X_OK) != 0) {
            return std::string(kSystemd) + " or " + kSystemctl + " is not installed";
        }
        if (Cgroup2Mount().empty()) {
            return "no cgroup2 hierarchy mounted: systemd needs one to track its services";
        }
        int self = PidfdOpen(getpid());
        if (self < 0) {
            return Errno("pidfd_open (Linux 5.3 or later needed)");
        }
        close(self);
        ChildResult r = RunInChild([] { return unshare(kNamespaces) == 0 ? 0 : (perror("unshare"), 1); }, 30);
        return r.exitCode == 0
                   ? ""
                   : "cannot create PID, mount, UTS, IPC, network and cgroup namespaces: " + r.err;
    }();
    return reason.empty() ? nullptr : reason.c_str();
}

}  // namespace testsupport
