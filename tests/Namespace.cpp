// A private mount namespace with an overlay over /etc and a tmpfs over /run, for tests that write there.
// SPDX-License-Identifier: MIT
#include "Namespace.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace testsupport {

Namespace::Namespace(const EtcLayout& layout)
{
    std::error_code error;
    auto at = [&](const std::string& path) {  // in the upper directory, with its parents made
        std::filesystem::create_directories(std::filesystem::path(Upper() + "/" + path).parent_path(), error);
        return Upper() + "/" + path;
    };
    std::filesystem::create_directories(Upper(), error);
    std::filesystem::create_directories(Dir() + "/work", error);
    for (const std::string& path : layout.hide) {
        (void)mknod(at(path).c_str(), S_IFCHR | 0600, makedev(0, 0));
    }
    for (const std::string& path : layout.dirs) {
        std::filesystem::create_directories(at(path), error);
    }
    for (const auto& file : layout.files) {
        (void)WriteFile(at(file.first), file.second);
    }
    for (const auto& link : layout.symlinks) {
        (void)!symlink(link.second.c_str(), at(link.first).c_str());  // a test that needs it checks it
    }
}

ChildResult Namespace::Run(const std::function<int()>& body, unsigned timeoutSeconds)
{
    std::string options = "lowerdir=/etc,upperdir=" + Upper() + ",workdir=" + Dir() + "/work";
    return RunInChild(
        [&]() {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0 ||
                mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
                fprintf(stderr, "namespace set-up failed: %s\n", strerror(errno));
                return 97;
            }
            return body();
        },
        timeoutSeconds);
}

Snapshot Namespace::Take() const
{
    namespace fs = std::filesystem;
    Snapshot out;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(Upper(), error)) {
        std::string& value = out[entry.path().string().substr(Upper().size() + 1)];
        fs::file_status st = entry.symlink_status();
        char mode[16];
        snprintf(mode, sizeof(mode), "file %04o\n", static_cast<unsigned>(st.permissions()));
        value = fs::is_directory(st)        ? "dir"
                : fs::is_symlink(st)        ? "-> " + fs::read_symlink(entry.path(), error).string()
                : fs::is_character_file(st) ? "whiteout"  // an overlay hides a lower entry with a 0/0 device
                                            : mode + ReadFile(entry.path());
    }
    return out;
}

const char* Namespace::Unavailable()
{
    static const std::string reason = []() -> std::string {
        if (geteuid() != 0) {
            return "needs root: mount namespaces and an overlay over /etc";
        }
        ChildResult result = Namespace().Run([] { return access("/etc", W_OK) == 0 ? 0 : 1; }, 30);
        return result.exitCode == 0
                   ? ""
                   : "no private mount namespace with an overlay over /etc here: " + result.err;
    }();
    return reason.empty() ? nullptr : reason.c_str();
}

Snapshot Changes(const Snapshot& before, const Snapshot& after)
{
    Snapshot changes;
    for (const auto& entry : after) {
        if (before.count(entry.first) == 0 || before.at(entry.first) != entry.second) {
            changes.insert(entry);
        }
    }
    for (const auto& entry : before) {
        if (after.count(entry.first) == 0) {
            changes[entry.first] = "";
        }
    }
    return changes;
}

std::string Differences(const Snapshot& want, const Snapshot& got)
{
    std::string out;
    Snapshot all = want;
    all.insert(got.begin(), got.end());
    for (const auto& entry : all) {
        const std::string& path = entry.first;
        if (want.count(path) == 0 || got.count(path) == 0) {
            out += path + (want.count(path) == 0 ? ": not expected\n" : ": missing\n");
            continue;
        }
        const std::string &a = want.at(path), &b = got.at(path);
        size_t line = 1, at = 0;
        for (; at < a.size() && at < b.size() && a[at] == b[at]; ++at) {
            line += a[at] == '\n';
        }
        if (a == b) {
            continue;
        }
        auto lineAt = [at](const std::string& text) {
            size_t start = text.rfind('\n', at == 0 ? 0 : at - 1);
            start = start == std::string::npos || at == 0 ? 0 : start + 1;
            return "\"" + text.substr(start, text.find('\n', start) - start) + "\"";
        };
        out += path + ": line " + std::to_string(line) + ": want " + lineAt(a) + ", got " + lineAt(b) + "\n";
    }
    return out;
}

ChildResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       unsigned timeoutSeconds)
{
    return RunInChild(
        [&]() {
            Argv args(argv);
            for (const std::string& entry : env) {
                putenv(const_cast<char*>(entry.c_str()));
            }
            execv(args.argv()[0], args.argv());
            return 127;
        },
        timeoutSeconds);
}

bool IsDebian(eLinuxDistribution d)
{
    return d == eDistUbuntu || d == eDistDebian;
}

std::string LinkOf(eLinuxDistribution d, int level, const std::string& name)
{
    char letter = (IsDebian(d) ? "KKSKKSK" : "KKKSKSK")[level];
    return (IsDebian(d) ? "rc" : "rc.d/rc") + std::to_string(level) + ".d/" + letter + "55" + name;
}

EtcLayout Host(eLinuxDistribution d, bool systemd)
{
    // Each release file, and the distributions (by eLinuxDistribution) that have it.
    const std::pair<const char*, const char*> releases[] = {
        {"redhat-release", "1267"}, {"centos-release", "2"}, {"oracle-release", "6"}, {"fedora-release", "7"},
        {"SuSE-release", "3"},      {"lsb-release", "4"},    {"debian_version", "5"}};
    EtcLayout layout;
    for (const auto& [file, in] : releases) {
        if (strchr(in, '0' + d) != nullptr) {
            layout.files[file] = "";
        } else {
            layout.hide.push_back(file);
        }
    }
    layout.dirs.push_back("init.d");
    (systemd ? layout.dirs : layout.hide)
        .push_back(systemd ? "systemd/system/multi-user.target.wants" : "systemd/system");
    for (int level = 0; level <= 6; ++level) {
        std::string link = LinkOf(d == eDistUnknown ? eDistDebian : d, level, "");
        layout.dirs.push_back(link.substr(0, link.rfind('/')));
    }
    return layout;
}

}  // namespace testsupport
