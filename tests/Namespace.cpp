// A private mount namespace with an overlay over /etc and a tmpfs over /run, for tests that write there.
#include "Namespace.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace testsupport {

namespace {

// Exit status of a child whose namespace could not be set up.
constexpr int kSetupFailed = 97;

void MakeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        (void)mkdir(path.substr(0, slash).c_str(), 0755);
    }
}

void TakeInto(const std::string& root, const std::string& relative, Snapshot& out)
{
    DIR* dir = opendir((root + relative).c_str());
    if (dir == nullptr) {
        return;
    }
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string rel = relative.empty() ? name : relative + "/" + name;
        std::string full = root + rel;
        struct stat st = {};
        if (lstat(full.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            out[rel] = "dir";
            TakeInto(root, rel, out);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(full.c_str(), target, sizeof(target));
            out[rel] = "-> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(0, 0)) {
            out[rel] = "whiteout";
        } else {
            char mode[16];
            snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
            out[rel] = std::string("file ") + mode + "\n" + ReadFile(full);
        }
    }
    closedir(dir);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

}  // namespace

Namespace::Namespace(const EtcLayout& layout)
{
    char pattern[] = "/tmp/serviceapp-ns.XXXXXX";
    m_dir = mkdtemp(pattern) != nullptr ? pattern : "";
    std::string upper = Upper() + "/";
    (void)mkdir(upper.c_str(), 0755);
    (void)mkdir((m_dir + "/work").c_str(), 0755);
    for (const std::string& path : layout.hide) {
        MakeParents(upper + path);
        (void)mknod((upper + path).c_str(), S_IFCHR | 0600, makedev(0, 0));
    }
    for (const std::string& path : layout.dirs) {
        MakeParents(upper + path + "/");
    }
    for (const auto& file : layout.files) {
        MakeParents(upper + file.first);
        std::ofstream(upper + file.first, std::ios::binary) << file.second;
    }
    for (const auto& link : layout.symlinks) {
        MakeParents(upper + link.first);
        (void)symlink(link.second.c_str(), (upper + link.first).c_str());
    }
}

Namespace::~Namespace()
{
    if (m_dir.empty()) {
        return;
    }
    if (::testing::Test::HasFailure()) {
        fprintf(stderr, "kept for inspection: %s\n", m_dir.c_str());
        return;
    }
    (void)nftw(m_dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

ChildResult Namespace::Run(const std::function<int()>& body, unsigned timeoutSeconds)
{
    std::string options = "lowerdir=/etc,upperdir=" + Upper() + ",workdir=" + m_dir + "/work";
    return RunInChild(
        [&]() {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0 ||
                mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
                fprintf(stderr, "namespace set-up failed: %s\n", strerror(errno));
                return kSetupFailed;
            }
            return body();
        },
        timeoutSeconds);
}

Snapshot Namespace::Take() const
{
    Snapshot out;
    TakeInto(Upper() + "/", "", out);
    return out;
}

const char* Namespace::Unavailable()
{
    static const std::string reason = []() -> std::string {
        if (geteuid() != 0) {
            return "needs root: mount namespaces and an overlay over /etc";
        }
        Namespace probe;
        ChildResult result = probe.Run([] { return access("/etc", W_OK) == 0 ? 0 : 1; }, 30);
        if (!result.exited || result.exitCode != 0) {
            return "no private mount namespace with an overlay over /etc here: " + result.err;
        }
        return "";
    }();
    return reason.empty() ? nullptr : reason.c_str();
}

Snapshot Changes(const Snapshot& before, const Snapshot& after)
{
    Snapshot changes;
    for (const auto& entry : after) {
        auto old = before.find(entry.first);
        if (old == before.end() || old->second != entry.second) {
            changes[entry.first] = entry.second;
        }
    }
    for (const auto& entry : before) {
        if (after.count(entry.first) == 0) {
            changes[entry.first] = "";
        }
    }
    return changes;
}

ChildResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       unsigned timeoutSeconds)
{
    return RunInChild(
        [&]() {
            std::vector<char*> args;
            for (const std::string& arg : argv) {
                args.push_back(const_cast<char*>(arg.c_str()));
            }
            args.push_back(nullptr);
            for (const std::string& entry : env) {
                putenv(const_cast<char*>(entry.c_str()));
            }
            execv(args[0], args.data());
            return 127;
        },
        timeoutSeconds);
}

bool WaitForFileText(const std::string& path, const std::string& text, unsigned timeoutSeconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (ReadFile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

namespace {

const char* const kReleaseFiles[] = {"redhat-release", "centos-release", "oracle-release", "fedora-release",
                                     "SuSE-release",   "lsb-release",    "debian_version"};

}  // namespace

bool IsDebian(eLinuxDistribution d)
{
    return d == eDistUbuntu || d == eDistDebian;
}

std::string LinkOf(eLinuxDistribution d, int level, const std::string& name)
{
    char letter = (IsDebian(d) ? "KKSKKSK" : "KKKSKSK")[level];
    std::string dir = IsDebian(d) ? "rc" : "rc.d/rc";
    return dir + std::to_string(level) + ".d/" + letter + "55" + name;
}

EtcLayout Host(eLinuxDistribution d)
{
    const std::vector<std::vector<std::string>> present = {{},
                                                           {"redhat-release"},
                                                           {"redhat-release", "centos-release"},
                                                           {"SuSE-release"},
                                                           {"lsb-release"},
                                                           {"debian_version"},
                                                           {"redhat-release", "oracle-release"},
                                                           {"redhat-release", "fedora-release"}};
    EtcLayout layout;
    for (const char* file : kReleaseFiles) {
        layout.hide.push_back(file);
    }
    for (const std::string& file : present[d]) {
        layout.hide.erase(std::find(layout.hide.begin(), layout.hide.end(), file));
        layout.files[file] = "";
    }
    layout.dirs.push_back("init.d");
    for (int level = 0; level <= 6; ++level) {
        std::string link = LinkOf(d == eDistUnknown ? eDistDebian : d, level, "");
        layout.dirs.push_back(link.substr(0, link.rfind('/')));
    }
    return layout;
}

}  // namespace testsupport
