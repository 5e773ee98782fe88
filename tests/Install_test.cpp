// Installing and removing the init script, its links and the systemd unit: the templates, the name and path rules, and install and uninstall on the real paths inside a private mount namespace.
// SPDX-License-Identifier: MIT
#include <ServiceApp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "Namespace.h"
#include "unix/InitScripts.h"
#include "unix/InstallFiles.h"
#include "unix/InstallPlan.h"
#include "unix/SysOps.h"
#include "unix/UnitFile.h"

using namespace testsupport;
using namespace serviceapp;

namespace {

const char kPath[] = "/opt/x/bin/svc";
const eLinuxDistribution kDeb = eDistDebian;
const std::string kIn = "Installing Service svc\n";

std::string Data(const std::string& file)
{
    return ReadFile(SERVICEAPP_SOURCE_DIR "/tests/data/" + file);
}

std::string TemplateOf(eLinuxDistribution d)
{
    return Data(IsDebian(d) ? "init-debian" : d == eDistSuSE ? "init-suse" : "init-redhat");
}

// A template filled by plain substitution: the path at placeholder pathAt, the
// name at every other (the marked templates: name, name, path, name...; the
// unmarked ones before them: name, path, name...).
std::string Filled(std::string text, const std::string& name, const std::string& path, int pathAt = 2)
{
    size_t at = 0;
    for (int n = 0; (at = text.find("%s", at)) != std::string::npos; ++n) {
        text.replace(at, 2, n == pathAt ? path : name);
        at += (n == pathAt ? path : name).size();
    }
    return text;
}

// The family's template filled.
std::string Expected(eLinuxDistribution d, const std::string& name, const std::string& path)
{
    return Filled(TemplateOf(d), name, path);
}

// The unit for name and path: the data file filled with the name twice and
// the path as systemd reads it back ('%' doubled, high bytes as \xHH).
std::string UnitText(const std::string& name, const std::string& path)
{
    std::string escaped;
    for (unsigned char c : path) {
        char hex[8];
        snprintf(hex, sizeof(hex), "\\x%02x", c);
        escaped += c == '%' ? "%%" : c >= 0x80 ? hex : std::string(1, static_cast<char>(c));
    }
    std::string text = Data("unit");
    for (const std::string& value : {name, name, escaped}) {
        size_t at = text.find("%s");
        text.replace(at, 2, value);
    }
    // The marker is stamped with the FNV-1a checksum of the rest.
    unsigned long long sum = 14695981039346656037ULL;
    for (unsigned char c : text.substr(text.find('\n') + 1)) {
        sum = (sum ^ c) * 1099511628211ULL;
    }
    char stamp[40];
    snprintf(stamp, sizeof(stamp), " (checksum %016llx)", sum);
    return text.insert(text.find('\n'), stamp);
}

const std::string kUnit = "/etc/systemd/system/svc.service";
const std::string kWants = "/etc/systemd/system/multi-user.target.wants/svc.service";

// What a successful install changes under /etc (with systemd: the unit too).
Snapshot Installed(eLinuxDistribution d, const std::string& name, const std::string& path,
                   bool systemd = false)
{
    Snapshot changes = {{"init.d/" + name, "file 0755\n" + Expected(d, name, path)}};
    for (int level = 0; level <= 6; ++level) {
        changes[LinkOf(d, level, name)] = "-> /etc/init.d/" + name;
    }
    if (systemd) {
        changes["systemd/system/" + name + ".service"] = "file 0644\n" + UnitText(name, path);
        changes["systemd/system/multi-user.target.wants/" + name + ".service"] =
            "-> /etc/systemd/system/" + name + ".service";
    }
    return changes;
}

// What uninstall prints for what install wrote (the script unless only the links).
std::string Removing(eLinuxDistribution d, const std::string& name = "svc", bool systemd = false,
                     bool script = true)
{
    std::string out;
    for (int level = 0; level <= 6; ++level) {
        out += "Removing /etc/" + LinkOf(d, level, name) + "\n";
    }
    out += script ? "Removing /etc/init.d/" + name + "\n" : "";
    return out + (systemd ? "Removing " + kWants + "\nRemoving " + kUnit + "\n" : "");
}

// A unit's assignments as "Section.Key" -> value, and its leading comment as "#".
std::map<std::string, std::string> ParseUnit(const std::string& text)
{
    std::map<std::string, std::string> keys;
    std::istringstream in(text);
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            keys["#"] += keys.count("[") == 0 ? line : "";
        } else if (line[0] == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            keys["["] += "[" + section + "]";
        } else if (line.find('=') != std::string::npos) {
            std::string key = section + "." + line.substr(0, line.find('='));
            EXPECT_EQ(keys.count(key), 0U) << key << " set twice";
            keys[key] = line.substr(line.find('=') + 1);
        } else {
            ADD_FAILURE() << "not a unit line: " << line;
        }
    }
    return keys;
}

std::string Shown(const std::string& text, size_t max)
{
    std::string shown = text.substr(0, max);
    std::replace_if(
        shown.begin(), shown.end(), [](char c) { return c < 0x20 || c > 0x7e; }, '?');
    return shown;
}

// A corpus file's entries: the mark (first byte) and the decoded text after it (see the files' heads).
std::vector<std::pair<char, std::string>> Corpus(const std::string& file, const std::string& canary)
{
    std::vector<std::pair<char, std::string>> entries;
    std::istringstream in(Data(file));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::string text;
        for (size_t i = 2; i < line.size(); ++i) {
            char c = line[i] == '\\' ? line[++i] : 0;
            if (c == 'x') {
                text += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else if (c == '{') {
                size_t close = line.find('}', i);
                text.append(std::stoul(line.substr(i + 1, close - i - 1)), line[close + 1]);
                i = close + 1;
            } else {
                text += c == 0 ? line[i] : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
            }
        }
        for (size_t at = 0; (at = text.find("@C@", at)) != std::string::npos; at += canary.size()) {
            text.replace(at, 3, canary);
        }
        entries.emplace_back(line[0], text);
    }
    return entries;
}

std::string RunningExecutable()
{
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

class App : public CServiceApp {
public:
    char* NameField() { return m_serviceName; }
    int& Sequence() { return m_rcSequence; }
    const char* ProgramPath() { return m_programPath; }
    void ChooseInstall() { m_action = eActionInstall; }
};

void (*g_prepare)(App&);  // set in a namespace body, to work on the object before Main

// Runs each of ops ('i' -install, 'u' -uninstall, '0' install with argc 0,
// '?' IsServiceInstalled, 1 when true) as
// Main of a fresh object in a child of its own (Main works once per process),
// and returns their -Main as digits: "iu" giving -5 and 0 returns 50. A digit
// 9 means m_programPath did not keep argv[0].
int Ops(const char* ops, const std::string& name, const std::string& argv0)
{
    int result = 0;
    for (; *ops != '\0'; ++ops) {
        ChildResult r = RunInChild([&] {
            App app;
            app.SetServiceName(name.c_str());
            if (g_prepare != nullptr) {
                g_prepare(app);
            }
            if (*ops == '?') {
                return app.IsServiceInstalled() ? 1 : 0;
            }
            std::string a0 = argv0;
            char* argv[] = {&a0[0], const_cast<char*>(*ops == 'i' ? "-install" : "-uninstall"), nullptr};
            if (*ops == '0') {
                app.ChooseInstall();
            }
            int rc = -app.Main(*ops == '0' ? 0 : 2, *ops == '0' ? argv + 2 : argv);
            return (*ops == '0' || strncmp(app.ProgramPath(), a0.c_str(), 1023) == 0) ? rc : 9;
        });
        fputs(r.out.c_str(), stdout);
        result = result * 10 + (r.exited ? r.exitCode : 100 + r.signal);
    }
    return result;
}

void ExpectSyntaxOk(const std::string& script, eLinuxDistribution d)
{
    for (const char* shell : {"/bin/bash", "/bin/dash", "/bin/sh"}) {
        if (IsDebian(d) || strcmp(shell, "/bin/bash") == 0) {
            ChildResult r = RunProgram({shell, "-n", script});
            EXPECT_EQ(r.exitCode, 0) << shell << " -n " << script << ": " << r.err;
        }
    }
}

TEST(InitScripts, EachFamilyHasItsTemplateAndFillsItByPlainSubstitution)
{
    const struct {
        eLinuxDistribution d;
        size_t lines;
    } cases[] = {{eDistRedHat, 87}, {eDistCentOS, 87}, {eDistOracle, 87},
                 {eDistSuSE, 82},   {eDistUbuntu, 97}, {eDistDebian, 97}};
    char out[8192];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.d);
        const std::string want = TemplateOf(c.d);
        EXPECT_EQ(static_cast<size_t>(std::count(want.begin(), want.end(), '\n')), c.lines);
        ASSERT_NE(InitScriptTemplate(c.d), nullptr);
        EXPECT_EQ(InitScriptTemplate(c.d), want);
        int n = FillInitScript(c.d, "a%s%n", "/opt/%s/%%/%n", out, sizeof(out));
        EXPECT_EQ(std::string(out, static_cast<size_t>(std::max(n, 0))),
                  Expected(c.d, "a%s%n", "/opt/%s/%%/%n"));
    }
    for (eLinuxDistribution d : {eDistFedora, eDistUnknown, static_cast<eLinuxDistribution>(8)}) {
        EXPECT_EQ(InitScriptTemplate(d), nullptr);
        EXPECT_EQ(FillInitScript(d, "svc", kPath, out, sizeof(out)), -1);
    }
    // A buffer too small for the script and its NUL, or no name, gives -1.
    int length = FillInitScript(eDistSuSE, "svc", "/p", out, sizeof(out));
    ASSERT_GT(length, 0);
    EXPECT_EQ(FillInitScript(eDistSuSE, "svc", "/p", out, static_cast<size_t>(length) + 1), length);
    EXPECT_EQ(out[length], '\0');
    EXPECT_EQ(FillInitScript(eDistSuSE, "svc", "/p", out, static_cast<size_t>(length)), -1);
    EXPECT_EQ(FillInitScript(eDistSuSE, "svc", "/p", out, 0), -1);
    EXPECT_EQ(FillInitScript(eDistSuSE, nullptr, "/p", out, sizeof(out)), -1);
}

// The plan as a value, from a described file system under a root: which
// steps it holds (in order, among others), whether it is refused, and
// whether the library counts the service as installed there.
TEST(InstallPlan, ChecksWhoseEachFileIsBeforeAnythingIsTouched)
{
    const std::string marked = "#!/bin/sh\n# Written by serviceapp for svc: -uninstall removes it\n";
    const std::string unit = "etc/systemd/system/svc.service";
    const std::string unmarked = Filled(Data("init-debian-unmarked"), "svc", "/opt/old/svc", 1);
    const struct {
        const char* what;
        std::map<std::string, std::string> files;  // relative path -> content, or "-> TARGET"
        char op;
        const char* name;
        bool refused, installed;
        std::vector<std::string> steps;  // "ACT PATH", a subsequence of the plan
    } cases[] = {
        // clang-format off
        {"fresh host", {}, 'i', "svc", false, false,
         {"write /etc/init.d/svc", "link /etc/rc2.d/S55svc", "mkdir /etc/systemd/system/multi-user.target.wants",
          "write /" + unit, "link /etc/systemd/system/multi-user.target.wants/svc.service"}},
        {"a vendor unit of the name", {{"lib/systemd/system/svc.service", "[Service]\n"}}, 'i', "svc", true, false,
         {"refuse-vendor /lib/systemd/system/svc.service"}},
        {"a vendor unit under /usr", {{"usr/lib/systemd/system/svc.service", "[Service]\n"}}, 'i', "svc", true,
         false, {"refuse-vendor /usr/lib/systemd/system/svc.service"}},
        {"a template name", {}, 'i', "svc@", true, false, {"refuse-name svc@"}},
        {"a script from before the marker is ours", {{"etc/init.d/svc", unmarked}}, 'u', "svc", false, true,
         {"remove /etc/init.d/svc"}},
        {"that script changed is not", {{"etc/init.d/svc", unmarked + "\n"}}, 'i', "svc", true, false,
         {"refuse-script /etc/init.d/svc"}},
        {"the marked script is ours", {{"etc/init.d/svc", marked + "new\n"}}, 'i', "svc", false, true,
         {"write /etc/init.d/svc"}},
        {"another name's marker is not", {{"etc/init.d/svc", "#!/bin/sh\n# Written by serviceapp for sv: "
          "-uninstall removes it\n"}}, 'u', "svc", false, false, {"keep-script /etc/init.d/svc"}},
        {"a unit written before the checksum is ours", {{unit, "# Written by serviceapp for svc: -uninstall "
          "removes it; put local changes in a drop-in\n[Service]\n"}}, 'i', "svc", false, true,
         {"write /" + unit, "keep-disabled /" + unit}},
        {"uninstall: ours goes, links that lead elsewhere stay", {{"etc/init.d/svc", marked},
          {"etc/rc2.d/S55svc", "-> /etc/init.d/other"}, {"etc/rc3.d/S55svc", "-> /etc/init.d/svc"}}, 'u', "svc",
         false, true, {"keep-link /etc/rc2.d/S55svc", "remove /etc/rc3.d/S55svc", "remove /etc/init.d/svc"}},
        // clang-format on
    };
    static const char* const kActs[] = {"refuse-script",   "refuse-vendor", "refuse-name",    "refuse-link",
                                        "refuse-template", "refuse-read",   "refuse-setting", "stop",
                                        "mkdir",           "write",         "link",           "unregister",
                                        "write",           "mkdir",         "link",           "remove",
                                        "register",        "keep-script",   "keep-link",      "keep-unit",
                                        "keep-modified",   "keep-disabled"};
    static_assert(sizeof(kActs) / sizeof(kActs[0]) == static_cast<size_t>(Act::kKeepDisabledUnit) + 1);
    static Plan plan;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        for (const char* dir : {"etc/init.d", "etc/rc0.d", "etc/rc1.d", "etc/rc2.d", "etc/rc3.d", "etc/rc4.d",
                                "etc/rc5.d", "etc/rc6.d", "etc/systemd/system", "lib/systemd/system"}) {
            std::filesystem::create_directories(root.path + "/" + dir);
        }
        for (const auto& [path, content] : c.files) {
            std::filesystem::create_directories(std::filesystem::path(root.path + "/" + path).parent_path());
            ASSERT_TRUE(content.rfind("-> ", 0) == 0
                            ? symlink(content.c_str() + 3, (root.path + "/" + path).c_str()) == 0
                            : WriteFile(root.path + "/" + path, content));
        }
        InstallRequest request = {root.path.c_str(), c.name, kPath, kDeb, 55};
        c.op == 'i' ? PlanInstall(request, plan) : PlanUninstall(request, plan);
        EXPECT_EQ(plan.Refused(), c.refused);
        EXPECT_EQ(IsInstalledUnder(root.path.c_str(), c.name), c.installed);
        std::string got;
        size_t next = 0;
        for (size_t i = 0; i < plan.count; ++i) {
            std::string path = plan.steps[i].path;
            std::string step = std::string(kActs[static_cast<int>(plan.steps[i].act)]) + " " +
                               (path.rfind(root.path, 0) == 0 ? path.substr(root.path.size()) : path);
            got += step + "\n";
            next += next < c.steps.size() && step == c.steps[next];
        }
        EXPECT_EQ(next, c.steps.size())
            << "missing " << c.steps[std::min(next, c.steps.size() - 1)] << " in\n"
            << got;
    }
}

class Install : public NamespaceTest {};

// Without /etc/systemd/system only the script and its links; with it the
// unit and its wants link too, a unit systemd accepts as it stands.
TEST_F(Install, EachFamilyWritesItsScriptAndSevenLinksAndUninstallRemovesThem)
{
    // A real executable whose path needs systemd's escaping, for the unit's check.
    TempDir bin;
    const std::string program = bin.path + "/a%b\xc3\xa9/svc";
    std::filesystem::create_directories(bin.path + "/a%b\xc3\xa9");
    std::filesystem::copy_file("/bin/true", program);
    for (bool systemd : {false, true}) {
        for (eLinuxDistribution d :
             {eDistRedHat, eDistCentOS, eDistOracle, eDistSuSE, eDistUbuntu, eDistDebian}) {
            SCOPED_TRACE(std::to_string(d) + (systemd ? " with systemd" : ""));
            Namespace ns(Host(d, systemd));
            Snapshot before = ns.Take();
            ChildResult r = ns.Run([&] { return Ops("?i?", "svc", program); });
            EXPECT_EQ(r.exitCode, 1);  // not installed before, installed after
            EXPECT_EQ(r.out, kIn);
            EXPECT_EQ(Differences(Installed(d, "svc", program, systemd), Changes(before, ns.Take())), "");
            ExpectSyntaxOk(ns.Upper() + "/init.d/svc", d);
            if (systemd) {
                std::string unit = ns.Upper() + "/systemd/system/svc.service";
                std::map<std::string, std::string> keys = ParseUnit(ReadFile(unit));
                EXPECT_EQ(keys,
                          (std::map<std::string, std::string>{
                              {"#", UnitText("svc", program).substr(0, UnitText("svc", program).find('\n'))},
                              {"[", "[Unit][Service][Install]"},
                              {"Unit.Description", "svc"},
                              {"Service.Type", "notify"},
                              {"Service.NotifyAccess", "main"},
                              {"Service.ExecStart", bin.path + "/a%%b\\xc3\\xa9/svc"},
                              {"Service.Restart", "on-failure"},
                              {"Service.RestartSec", "1"},
                              {"Install.WantedBy", "multi-user.target"}}));
                if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
                    r = RunProgram({"/usr/bin/systemd-analyze", "verify", unit});
                    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
                    EXPECT_EQ(r.err, "");
                }
            }
            r = ns.Run([&] { return Ops("u?", "svc", program); });
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_EQ(r.out, Removing(d, "svc", systemd));
            EXPECT_EQ(Differences({}, Changes(before, ns.Take())), "");
        }
    }
}

// Seam fault: the swapped entry always fails with error.
template <int error, typename R, typename... A>
R Fail(A...)
{
    errno = error;
    return -1;
}
#define FAILING(entry, error, ...) [] { return (g_sysOps.entry = Fail<error, __VA_ARGS__>, 0); }

// Linux releases the descriptor even when close reports an error.
int CloseThenFail(int fd)
{
    (void)close(fd);
    errno = EIO;
    return -1;
}

// Host(kDeb) with files and symlinks added, and directories replaced by whiteouts or by files.
EtcLayout Deb(const Snapshot& files, const Snapshot& symlinks = {},
              const std::vector<std::string>& hidden = {})
{
    EtcLayout layout = Host(kDeb);
    layout.files.insert(files.begin(), files.end());
    layout.symlinks.insert(symlinks.begin(), symlinks.end());
    for (const std::string& path : hidden) {
        layout.dirs.erase(std::find(layout.dirs.begin(), layout.dirs.end(), path));
        if (files.count(path) == 0) {
            layout.hide.push_back(path);
        }
    }
    return layout;
}

// The Red Hat family's and SuSE's real /etc: /etc/init.d -> rc.d/init.d, or
// /etc/rc.d -> init.d, with the script and links as their init tools write
// them (chkconfig: ../init.d/NAME; insserv: ../NAME), one at our own number
// and two renumbered. Gone is what uninstalling all of it changes.
EtcLayout LinkedLayout(eLinuxDistribution d, Snapshot& gone)
{
    bool suse = d == eDistSuSE;
    EtcLayout layout = Host(d);
    const std::string from = suse ? "rc.d/" : "init.d", to = suse ? "init.d/" : "rc.d/init.d";
    for (std::string& dir : layout.dirs) {
        dir = dir.compare(0, from.size(), from) == 0 ? to + dir.substr(from.size()) : dir;
    }
    layout.symlinks[suse ? "rc.d" : "init.d"] = suse ? "init.d" : "rc.d/init.d";
    const std::string script = suse ? "init.d/svc" : "rc.d/init.d/svc",
                      target = suse ? "../svc" : "../init.d/svc";
    layout.files[script] = Expected(d, "svc", kPath);
    gone = {{script, ""}};
    for (const char* link : {"rc5.d/S55svc", "rc3.d/S20svc", "rc0.d/K80svc"}) {
        std::string path = (suse ? "init.d/" : "rc.d/") + std::string(link);
        layout.symlinks[path] = target;
        gone[path] = "";
    }
    return layout;
}

// A marked script that reports the service running and whose stop exits with stop.
std::string Running(const std::string& stop)
{
    return "#!/bin/sh\n# Written by serviceapp for svc: -uninstall removes it\n"
           "case $1 in status) exit 0;; stop) echo stopped; exit " +
           stop + ";; esac\n";
}

int MarkRunning()
{
    return chmod("/etc/init.d/svc", 0755) | (WriteFile("/run/svc.pid", "1\n") ? 0 : 1);
}

// Each case runs ops on its layout in one namespace body, after its setup
// there; the result, the output and what changed under /etc are as given.
TEST_F(Install, RefusalsFaultsAndExistingFilesGiveTheirMessagesAndChangeOnlyWhatSucceeded)
{
    // An earlier install's script.
    const Snapshot earlier = {{"init.d/svc", Expected(kDeb, "svc", "/opt/old/svc")}},
                   done = Installed(kDeb, "svc", kPath);
    Snapshot ownLinks, rewritten = {{"init.d/svc", done.at("init.d/svc")}}, missingLevel = done;
    std::string notRemoved, notLinked = kIn;
    for (int level = 0; level <= 6; ++level) {
        std::string link = "/etc/" + LinkOf(kDeb, level, "svc");
        ownLinks[link.substr(5)] = "/etc/init.d/svc";
        notRemoved += "Failed to remove [" + link + "]: Permission denied\n";
        notLinked += "Failed to create link [" + link + "]: Permission denied\n";
    }
    notRemoved += "Failed to remove [/etc/init.d/svc]: Permission denied\n";
    missingLevel.erase("rc3.d/K55svc");
    // Red Hat's and SuSE's linked layouts: our links and the renumbered ones, by level.
    auto Renumbered = [](const std::string& rc) {
        std::string out;
        for (const char* link :
             {"0.d/K80", "1.d/K55", "2.d/K55", "3.d/S20", "4.d/K55", "5.d/S55", "6.d/K55"}) {
            out += "Removing /etc/" + rc + "rc" + link + "svc\n";
        }
        return out + "Removing /etc/init.d/svc\n";
    };
    Snapshot disabledLinks = ownLinks;
    disabledLinks.erase("rc2.d/S55svc");
    disabledLinks.erase("rc5.d/S55svc");
    disabledLinks["rc2.d/K45svc"] = disabledLinks["rc5.d/K45svc"] = "../init.d/svc";
    Snapshot twoDigits;
    std::string removedTwoDigits, unreadable,
        unsynced = kIn + "Failed to sync [/etc/init.d]: Input/output error\n";
    for (int level = 0; level <= 6; ++level) {
        std::string link = LinkOf(kDeb, level, "svc").replace(7, 2, "05");
        twoDigits[link] = "-> /etc/init.d/svc";
        removedTwoDigits += "Removing /etc/" + link + "\n" + (level == 6 ? "Removing /etc/init.d/svc\n" : "");
        unreadable += "Failed to read [/etc/rc" + std::to_string(level) + ".d]: Input/output error\n";
        unsynced += "Failed to sync [/etc/rc" + std::to_string(level) + ".d]: Input/output error\n";
    }
    twoDigits["init.d/svc"] = done.at("init.d/svc");
    const std::string badName = "Invalid service name [" + std::string(256, 'a') + "]\n";
    const std::string noRoot = "cannot write to /etc/init.d, please install as root\n",
                      foreign = kIn + "Refusing to overwrite [/etc/init.d/svc]: not written by serviceapp\n";
    const std::string failed = kIn + "Failed to write init script [/etc/init.d/svc], ";
    const EtcLayout deb = Deb({}), old = Deb(earlier), installed = Deb(earlier, ownLinks);
    Snapshot redhatGone, suseGone;
    const EtcLayout redhat = LinkedLayout(eDistRedHat, redhatGone), suse = LinkedLayout(eDistSuSE, suseGone);
    EtcLayout scriptDir = deb, fedora = Host(eDistFedora);
    fedora.files["init.d/svc"] = Expected(eDistRedHat, "svc", kPath);

    scriptDir.dirs.push_back("init.d/svc");
    const struct {
        const char* what;
        EtcLayout layout;
        int (*setup)();
        std::string argv0;
        const char* ops;
        int result;
        std::string out;
        Snapshot changes;
    } cases[] = {
        // clang-format off
        {"unknown distribution", Host(eDistUnknown), nullptr, kPath, "iu", 55,
         "Unrecognized linux distribution\nUnrecognized linux distribution\n", {}},
        {"no /etc/init.d, checked before the path", Deb({}, {}, {"init.d"}), nullptr, "/opt/a b", "i", 5,
         "Could not find /etc/init.d, install is not supported on this distribution\n", {}},
        {"unsafe path", old, nullptr, "/opt/x;y", "i", 5, "Invalid program path [/opt/x;y]\n", {}},
        {"deleted executable", deb, [] {
             g_sysOps.Readlink = [](const char*, char* buffer, size_t size) {
                 return static_cast<ssize_t>(snprintf(buffer, size, "/opt/x/svc (deleted)"));
             };
             return 0;
         }, "svc", "i", 5, "Invalid program path [/opt/x/svc (deleted)]\n", {}},
        {"name field without its NUL", deb, [] {
             g_prepare = [](App& app) { memset(app.NameField(), 'a', 256); };
             return 0;
         }, kPath, "iu", 55, badName + badName, {}},
        {"no argv[0]: the running executable", deb, nullptr, "", "0", 0, kIn,
         Installed(kDeb, "svc", RunningExecutable())},
        {"fedora: no script, uninstall goes through", fedora, nullptr, kPath, "iu", 50,
         kIn + "unknown init script.\nRemoving /etc/init.d/svc\n", {{"init.d/svc", ""}}},
        {"reinstall over its own links", installed, nullptr, kPath, "i", 0, kIn, rewritten},
        {"uninstall of nothing", deb, nullptr, kPath, "u", 0, "", {}},
        {"uninstall of nothing, SuSE", Host(eDistSuSE), nullptr, kPath, "u", 0, "", {}},
        {"a packaged script and its links: refused, kept", Deb({{"init.d/svc", "#!/bin/sh\n# packaged\n"}},
             {{"rc2.d/S01svc", "../init.d/svc"}}), nullptr, kPath, "iu", 50,
         foreign + "Keeping existing script [/etc/init.d/svc]\n", {}},
        {"Red Hat's linked /etc/init.d: chkconfig's links count, and go", redhat, nullptr, kPath, "iu", 0,
         kIn + Renumbered("rc.d/"), redhatGone},
        {"SuSE's linked /etc/rc.d: insserv's links count, and go", suse, nullptr, kPath, "iu", 0,
         kIn + Renumbered("rc.d/"), suseGone},
        {"unprivileged user", old, [] { return setresgid(65534, 65534, 65534) | setresuid(65534, 65534, 65534); },
         kPath, "iu", 55, noRoot + "cannot write to /etc/init.d, please uninstall as root\n", {}},
        {"read-only /etc/init.d", old, [] {
             return mount("/etc/init.d", "/etc/init.d", nullptr, MS_BIND, nullptr) |
                    mount(nullptr, "/etc/init.d", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
         }, kPath, "iu", 55, noRoot + "cannot write to /etc/init.d, please uninstall as root\n", {}},
        {"/etc/init.d a plain file", Deb({{"init.d", "file\n"}}, {}, {"init.d"}), nullptr, kPath, "iu", 50,
         kIn + "Failed to create init script [/etc/init.d/svc], 20\n", {}},
        {"script path a directory: refused, kept", scriptDir, nullptr, kPath, "iu", 50,
         foreign + "Keeping existing script [/etc/init.d/svc]\n", {}},
        {"sequence above 99, checked before anything else", old, [] {
             g_prepare = [](App& app) { app.Sequence() = 100; };
             return 0;
         }, "/opt/a b", "iu", 55, "Invalid run-level sequence [100]\nInvalid run-level sequence [100]\n", {}},
        {"negative sequence", installed, [] {
             g_prepare = [](App& app) { app.Sequence() = -1; };
             return 0;
         }, kPath, "iu", 55, "Invalid run-level sequence [-1]\nInvalid run-level sequence [-1]\n", {}},
        {"one-digit sequence written with two", deb, [] {
             g_prepare = [](App& app) { app.Sequence() = 5; };
             return 0;
         }, kPath, "iui", 0, kIn + removedTwoDigits + kIn, twoDigits},
        {"directory read fails: reported, nothing removed", installed,
         FAILING(Scandir, EIO, int, const char*, struct dirent***, int (*)(const struct dirent*),
                 int (*)(const struct dirent**, const struct dirent**)),
         kPath, "u", 5, unreadable, {}},
        {"script path a symlink: refused, its target kept",
         Deb({{"victim", "keep\n"}}, {{"init.d/svc", "/etc/victim"}}), nullptr, kPath, "i", 5, foreign, {}},
        {"script path a dangling symlink: refused", Deb({}, {{"init.d/svc", "/etc/nowhere"}}), nullptr, kPath, "i", 5,
         foreign, {}},
        {"links in our place, a file and another script's: refused before anything",
         Deb({{"rc2.d/S55svc", "foreign\n"}}, {{"rc5.d/S55svc", "/etc/init.d/other"}, {"rc0.d/K55svc", "../init.d/svc"}}),
         nullptr, kPath, "i", 5, kIn + "Failed to create link [/etc/rc2.d/S55svc]: File exists\n"
         "Failed to create link [/etc/rc5.d/S55svc]: File exists\n", {}},
        {"a missing level directory: the others made", Deb({}, {}, {"rc3.d"}), nullptr, kPath, "i", 5,
         kIn + "Failed to create link [/etc/rc3.d/K55svc]: No such file or directory\n", missingLevel},
        {"disabled with K links: no S links beside them", Deb({{"init.d/svc", Expected(kDeb, "svc", kPath)}},
             disabledLinks), nullptr, kPath, "i", 0,
         kIn + "Keeping existing link [/etc/rc2.d/K45svc]\nKeeping existing link [/etc/rc5.d/K45svc]\n", rewritten},
        {"renumbered links to its script go, in sorted order",
         Deb({{"init.d/svc", Expected(kDeb, "svc", kPath)}, {"rc1.d/K99svc", "not a link\n"}},
             {{"rc2.d/S99svc", "/etc/init.d//svc"}, {"rc2.d/S01svc", "../init.d/svc"},
              {"rc0.d/K01svc", "/etc/init.d/svc"}, {"rc6.d/K20svc", "../../etc/./init.d/svc"},
              {"rc5.d/S20svc", "/etc/init.d/other"}, {"rc3.d/S01svcx", "../init.d/svc"},
              {"rc4.d/S1svc", "../init.d/svc"}, {"rc4.d/X01svc", "../init.d/svc"}, {"rc1.d/S01svc", "init.d/svc"}}),
         nullptr, kPath, "u", 0, "Removing /etc/rc0.d/K01svc\nRemoving /etc/rc2.d/S01svc\n"
         "Removing /etc/rc2.d/S99svc\nRemoving /etc/rc6.d/K20svc\nRemoving /etc/init.d/svc\n",
         {{"init.d/svc", ""}, {"rc0.d/K01svc", ""}, {"rc2.d/S01svc", ""}, {"rc2.d/S99svc", ""}, {"rc6.d/K20svc", ""}}},
        {"a running service is stopped first", Deb({{"init.d/svc", Running("0")}}), MarkRunning, kPath, "u", 0,
         "Stopping service svc\nstopped\nRemoving /etc/init.d/svc\n", {{"init.d/svc", ""}}},
        {"a stop that fails leaves everything", Deb({{"init.d/svc", Running("1")}}), MarkRunning, kPath, "u", 5,
         "Stopping service svc\nstopped\nFailed to stop service svc, nothing removed\n", {{"init.d/svc", "file 0755\n" + Running("1")}}},
        // Failing system calls: the earlier script and its links stay.
        {"mkostemp fails", installed, FAILING(Mkostemp, ENOSPC, int, char*, int), kPath, "i", 5,
         kIn + "Failed to create init script [/etc/init.d/svc], 28\n", {}},
        {"write fails", installed, FAILING(Write, ENOSPC, ssize_t, int, const void*, size_t), kPath, "i", 5,
         failed + "28\n", {}},
        {"fchmod fails", installed, FAILING(Fchmod, EROFS, int, int, mode_t), kPath, "i", 5, failed + "30\n", {}},
        {"fsync fails", installed, [] {
             g_sysOps.Sync = [](const int*, int* errors, size_t count) { std::fill(errors, errors + count, EIO); };
             return 0;
         }, kPath, "i", 5, failed + "5\n", {}},
        {"directory syncs fail: each reported, the files in place", deb, [] {
             g_sysOps.Sync = [](const int* fds, int* errors, size_t count) {
                 SyncEach(fds, errors, count);
                 std::fill(errors, errors + (count > 1 ? count : 0), EIO);  // the script's data alone is synced fine
             };
             return 0;
         }, kPath, "i", 5, unsynced, done},
        {"close fails", installed, [] { return (g_sysOps.Close = CloseThenFail, 0); }, kPath, "i", 5, failed + "5\n", {}},
        {"rename fails", installed, FAILING(Rename, EACCES, int, const char*, const char*), kPath, "i", 5,
         failed + "13\n", {}},
        {"symlink fails: every level tried", old, FAILING(Symlink, EACCES, int, const char*, const char*), kPath,
         "i", 5, notLinked, rewritten},
        {"unlink fails: every path tried", installed, FAILING(Unlink, EACCES, int, const char*), kPath, "u", 5,
         notRemoved, {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Namespace ns(c.layout);
        Snapshot before = ns.Take();
        ChildResult r =
            ns.Run([&] { return c.setup != nullptr && c.setup() != 0 ? 99 : Ops(c.ops, "svc", c.argv0); });
        EXPECT_EQ(r.exitCode, c.result);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(Differences(c.changes, Changes(before, ns.Take())), "");
    }
}

// With /etc/systemd/system: each case runs ops on its layout after its setup;
// the result, the output and what changed under /etc are as given.
TEST_F(Install, UnitIsWrittenEnabledAndRemovedButTheAdministratorsIsKept)
{
    const Snapshot script = Installed(kDeb, "svc", kPath), done = Installed(kDeb, "svc", kPath, true);
    const std::string keeping = "Keeping existing unit [" + kUnit + "]\n";
    auto withSystemd = [](const Snapshot& files, const Snapshot& symlinks,
                          const std::vector<std::string>& hidden) {
        EtcLayout layout = Host(kDeb, true);
        layout.files.insert(files.begin(), files.end());
        layout.symlinks.insert(symlinks.begin(), symlinks.end());
        for (const std::string& path : hidden) {
            layout.dirs.erase(std::find(layout.dirs.begin(), layout.dirs.end(), path));
            layout.hide.push_back(path);
        }
        return layout;
    };
    const Snapshot foreign = {{"systemd/system/svc.service", "[Service]\nExecStart=/bin/own\n"}},
                   vendorWants = {{"systemd/system/multi-user.target.wants/svc.service",
                                   "/lib/systemd/system/svc.service"}};
    Snapshot notOurs = foreign, kept = done, madeDir = done;
    for (int level = 0; level <= 6; ++level) {
        kept.erase(LinkOf(kDeb, level, "svc"));
    }
    madeDir["systemd/system/multi-user.target.wants"] = "dir";
    notOurs["systemd/system/svc.service"] = "# Written by serviceapp for other: -uninstall removes it\n";
    const Snapshot ourUnit = {{"systemd/system/svc.service", UnitText("svc", kPath)}},
                   ourWants = {{"systemd/system/multi-user.target.wants/svc.service", kUnit}};
    Snapshot edited = ourUnit;
    edited.begin()->second.replace(edited.begin()->second.find("ExecStart="), 10, "ExecStart=/bin/edited ");
    const struct {
        const char* what;
        EtcLayout layout;
        int (*setup)();
        const char* ops;
        int result;
        std::string out;
        Snapshot changes;
    } cases[] = {
        // clang-format off
        {"reinstall over its own unit and link", withSystemd({}, {}, {}), nullptr, "ii", 0, kIn + kIn, done},
        {"wants directory missing: made", withSystemd({}, {}, {"systemd/system/multi-user.target.wants"}), nullptr,
         "i", 0, kIn, madeDir},
        {"a foreign unit and its link kept, on install and uninstall", withSystemd(foreign, vendorWants, {}), nullptr,
         "iu", 0, kIn + keeping + Removing(kDeb) + keeping, {}},
        {"a mask kept", withSystemd({}, {{"systemd/system/svc.service", "/dev/null"}}, {}), nullptr, "iu", 0,
         kIn + keeping + Removing(kDeb) + keeping, {}},
        {"another service's marker is not ours", withSystemd(notOurs, {}, {}), nullptr, "i", 0, kIn + keeping, script},
        {"wants link leads elsewhere: refused, kept on uninstall", withSystemd({}, vendorWants, {}), nullptr, "iu",
         50, kIn + "Failed to create link [" + kWants + "]: File exists\n", {}},
        {"uninstall of nothing", withSystemd({}, {}, {}), nullptr, "u", 0, "", {}},
        {"disabled: kept disabled", withSystemd(ourUnit, {}, {}), nullptr, "i", 0,
         kIn + "Keeping disabled unit [" + kUnit + "]\n", script},
        {"changed after install: kept, and removed by uninstall", withSystemd(edited, ourWants, {}), nullptr, "iu", 0,
         kIn + "Keeping modified unit [" + kUnit + "]\n" + Removing(kDeb, "svc", true), {{"systemd/system/svc.service", ""}, {"systemd/system/multi-user.target.wants/svc.service", ""}}},
        {"unit rename fails: script and links stay, no temporary file", withSystemd({}, {}, {}), [] {
             g_sysOps.Rename = [](const char* from, const char* to) {
                 return strncmp(to, "/etc/systemd/", 13) == 0 ? (errno = EACCES, -1) : rename(from, to);
             };
             return 0;
         }, "i", 5, kIn + "Failed to write unit file [" + kUnit + "], 13\n", script},
        {"a name systemd cannot take is refused before anything", withSystemd({}, {}, {}), [] {
             g_prepare = [](App& app) { snprintf(app.NameField(), 256, "a+b"); };
             return 0;
         }, "i", 5, "Installing Service a+b\nRefusing service name [a+b]: systemd takes no unit of that name\n", {}},
        {"unit removal fails: reported after the script", withSystemd({}, {}, {}), [] {
             g_sysOps.Unlink = [](const char* path) {
                 return strncmp(path, "/etc/rc", 7) == 0 ? unlink(path) : (errno = EBUSY, -1);
             };
             return 0;
         }, "iu", 5, kIn + Removing(kDeb, "svc", false, false) + "Failed to remove [/etc/init.d/svc]: Device or resource busy\n"
         "Failed to remove [" + kWants + "]: Device or resource busy\n"
         "Failed to remove [" + kUnit + "]: Device or resource busy\n",
         kept},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Namespace ns(c.layout);
        Snapshot before = ns.Take();
        ChildResult r = ns.Run([&] {
            umask(077);  // the unit and the wants directory get their modes all the same
            return c.setup != nullptr && c.setup() != 0 ? 99 : Ops(c.ops, "svc", kPath);
        });
        EXPECT_EQ(r.exitCode, c.result);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(Differences(c.changes, Changes(before, ns.Take())), "");
        struct stat st = {};
        EXPECT_EQ(stat((ns.Upper() + "/systemd/system/multi-user.target.wants").c_str(), &st) == 0
                      ? st.st_mode & 0777
                      : 0,
                  0755U);
    }
}

// Under $SERVICEAPP_ROOT install writes byte for byte what it writes live,
// the paths inside as on the target, with one line for all of it, and
// uninstall takes it away again; the live /etc is untouched meanwhile.
TEST_F(Install, PackageRootGetsWhatTheLiveSystemGets)
{
    Namespace ns(Host(kDeb, true));
    const std::string root = ns.Dir() + "/root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    const Snapshot before = ns.Take(), live = Installed(kDeb, "svc", kPath, true);
    ChildResult r = ns.Run([&] {
        setenv("SERVICEAPP_ROOT", (root + "/").c_str(), 1);
        return Ops("i", "svc", root + kPath);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Wrote 10 files and links for svc under " + root + "\n");
    EXPECT_EQ(Differences({}, Changes(before, ns.Take())), "");
    for (const auto& [path, entry] : live) {
        std::string under = root + "/etc/" + path;
        std::error_code error;
        EXPECT_EQ(entry.rfind("-> ", 0) == 0 ? "-> " + std::filesystem::read_symlink(under, error).string()
                                             : entry.substr(0, 10) + ReadFile(under),
                  entry)
            << path;
    }
    r = ns.Run([&] {
        setenv("SERVICEAPP_ROOT", root.c_str(), 1);
        return Ops("u", "svc", kPath);
    });
    EXPECT_EQ(r.out, "Removed 10 files and links of svc under " + root + "\n");
    EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(root + "/etc/init.d"), {}), 0);
}

// On a host with dependency-based boot, Debian's real insserv (unpacked by
// dev.sh, never installed) puts the service in the boot order it computes,
// a reinstall adds no link beside the ones it renumbered, and uninstall
// takes it out again.
TEST_F(Install, DependencyBasedBootListsTheServiceUntilUninstall)
{
    const std::string insserv = SERVICEAPP_BUILD_DIR "/insserv";
    if (access((insserv + "/sbin/insserv").c_str(), X_OK) != 0) {
        GTEST_SKIP() << "Debian's insserv is not unpacked in " << insserv << " (./dev.sh test does it)";
    }
    Namespace ns(Host(kDeb));
    ChildResult r = ns.Run([&] {
        // Only our script in the boot order, beside insserv's configuration.
        for (const char* dir :
             {"init.d", "rc0.d", "rc1.d", "rc2.d", "rc3.d", "rc4.d", "rc5.d", "rc6.d", "rcS.d"}) {
            if (mount("tmpfs", ("/etc/" + std::string(dir)).c_str(), "tmpfs", 0, nullptr) != 0) {
                return 99;
            }
        }
        std::string lower = "lowerdir=" + insserv + "/sbin:/usr/sbin";
        if (mount("overlay", "/usr/sbin", "overlay", 0, lower.c_str()) != 0 ||
            !WriteFile("/etc/insserv.conf", ReadFile(insserv + "/etc/insserv.conf")) ||
            RunProgram({"/usr/sbin/insserv"}).exitCode != 0 ||
            access("/etc/init.d/.depend.start", F_OK) != 0) {
            return 98;
        }
        auto listed = [] {
            return ReadFile("/etc/init.d/.depend.start").find("TARGETS = svc\n") != std::string::npos;
        };
        auto links = [] {
            int n = 0;
            for (int level = 0; level <= 6; ++level) {
                for (const auto& e :
                     std::filesystem::directory_iterator("/etc/rc" + std::to_string(level) + ".d")) {
                    n += e.path().filename().string().substr(3) == "svc";
                }
            }
            return n;
        };
        if (Ops("ii", "svc", kPath) != 0) {
            return 1;
        }
        if (!listed() || links() != 7) {
            return 2;
        }
        return Ops("u", "svc", kPath) != 0 ? 3 : listed() || links() != 0 ? 4 : 0;
    });
    // 1, 3: install or uninstall failed; 2: not in the boot order with seven links; 4: still there.
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

// The file-system calls install and uninstall make, logged on standard output
// as "@CALL PATH" lines, a descriptor by the path it was opened with.
char g_opened[256][kPathSize];

int Logged(const char* call, const char* path, int result)
{
    if (result >= 0) {
        printf("@%s %s\n", call, path);
    }
    return result;
}

int LogCalls()
{
    g_sysOps.Open = [](const char* path, int flags, mode_t mode) {
        int fd = open(path, flags, mode);
        (void)snprintf(g_opened[fd < 0 || fd > 255 ? 0 : fd], kPathSize, "%s", path);
        return fd;
    };
    g_sysOps.Mkostemp = [](char* pattern, int flags) {
        int fd = mkostemp(pattern, flags);
        (void)snprintf(g_opened[fd < 0 || fd > 255 ? 0 : fd], kPathSize, "%s", pattern);
        return Logged("create", pattern, fd);
    };
    g_sysOps.Sync = [](const int* fds, int* errors, size_t count) {
        SyncEach(fds, errors, count);
        for (size_t i = 0; i < count; ++i) {
            (void)Logged("fsync", g_opened[fds[i] < 0 || fds[i] > 255 ? 0 : fds[i]], -errors[i]);
        }
    };
    g_sysOps.Rename = [](const char* from, const char* to) {
        return Logged("rename", (std::string(from) + " " + to).c_str(), rename(from, to));
    };
    g_sysOps.Symlink = [](const char* target, const char* link) {
        return Logged("symlink", link, symlink(target, link));
    };
    g_sysOps.Unlink = [](const char* path) { return Logged("unlink", path, unlink(path)); };
    g_sysOps.Mkdir = [](const char* path, mode_t mode) { return Logged("mkdir", path, mkdir(path, mode)); };
    g_sysOps.Realpath = [](const char* path, char* out) {
        char* result = realpath(path, out);
        (void)Logged("realpath", path, result != nullptr ? 0 : -1);
        return result;
    };
    return 0;
}

// What a logged run left undone: a file renamed before its data was synced,
// a directory not synced after its last change, something resolved after
// the first removal, or (uninstall) the script removed before a run-level
// link. Empty when nothing.
std::string NotDurable(const std::string& out, const std::string& script)
{
    std::vector<std::pair<std::string, std::string>> calls;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line[0] == '@') {
            calls.emplace_back(line.substr(1, line.find(' ') - 1), line.substr(line.find(' ') + 1));
        }
    }
    auto dirOf = [](const std::string& path) { return path.substr(0, path.rfind('/')); };
    auto synced = [&](const std::string& dir, size_t after, size_t before) {
        for (size_t j = after + 1; j < before && j < calls.size(); ++j) {
            if (calls[j].first == "fsync" && calls[j].second == dir) {
                return true;
            }
        }
        return false;
    };
    std::string faults;
    size_t firstRemoval = calls.size(), scriptRemoval = calls.size();
    for (size_t i = calls.size(); i-- > 0;) {
        firstRemoval = calls[i].first == "unlink" ? i : firstRemoval;
        scriptRemoval = calls[i].first == "unlink" && calls[i].second == script ? i : scriptRemoval;
    }
    for (size_t i = 0; i < calls.size(); ++i) {
        const std::string &call = calls[i].first, &path = calls[i].second;
        std::string changed = call == "rename" ? path.substr(path.find(' ') + 1) : path;
        if (call == "rename" && !synced(path.substr(0, path.find(' ')), static_cast<size_t>(-1), i)) {
            faults += "renamed before its data was synced: " + path + "\n";
        }
        if (call != "fsync" && call != "realpath" && !synced(dirOf(changed), i, calls.size())) {
            faults += "not synced after " + call + ": " + changed + "\n";
        }
        if (call == "realpath" && i > firstRemoval) {
            faults += "resolved after a removal: " + path + "\n";
        }
        if (call == "unlink" && path.find("/rc") != std::string::npos && i > scriptRemoval) {
            faults += "link removed after the script: " + path + "\n";
        }
    }
    return faults;
}

TEST_F(Install, EveryChangedDirectoryIsSyncedAfterItsLastChangeAndLinksGoBeforeTheScript)
{
    Snapshot gone;
    EtcLayout debian = Host(kDeb, true), redhat = LinkedLayout(eDistRedHat, gone);
    debian.symlinks["rc2.d/S20svc"] = "../init.d/svc";
    debian.dirs.pop_back();  // the wants directory is made too
    debian.hide.push_back("systemd/system/multi-user.target.wants");
    for (const EtcLayout* layout : {&debian, &redhat}) {
        Namespace ns(*layout);
        for (const char* op : {"i", "u"}) {
            SCOPED_TRACE(std::string(op) + (layout == &debian ? " debian" : " red hat"));
            ChildResult r = ns.Run([&] { return LogCalls() + Ops(op, "svc", kPath); });
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_NE(r.out.find(*op == 'i' ? "@rename" : "@unlink /etc/init.d/svc"), std::string::npos)
                << r.out;
            EXPECT_EQ(NotDurable(r.out, "/etc/init.d/svc"), "");
        }
    }
}

TEST_F(Install, FullInitDirKeepsTheEarlierScriptByteForByteAndNoTemporaryFile)
{
    Namespace ns(Host(kDeb));
    ChildResult r = ns.Run([] {
        if (mount("tmpfs", "/etc/init.d", "tmpfs", 0, "size=4k") != 0) {
            return 99;
        }
        int result = Ops("i", "svc", "/opt/good/svc") * 10 + Ops("i", "svc", kPath);
        bool kept = ReadFile("/etc/init.d/svc") == Expected(kDeb, "svc", "/opt/good/svc");
        return kept && std::distance(std::filesystem::directory_iterator("/etc/init.d"), {}) == 1 ? result
                                                                                                  : 98;
    });
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.out,
              "Installing Service svc\nInstalling Service svc\n"
              "Failed to write init script [/etc/init.d/svc], 28\n");
}

TEST_F(Install, ConcurrentInstallsAndUninstallsSettleOnTheTemplate)
{
    Namespace ns(Host(kDeb));
    Snapshot before = ns.Take();
    ChildResult r = ns.Run([] {
        int gate[2];
        if (pipe(gate) != 0) {
            return 99;
        }
        std::vector<pid_t> children;
        for (int i = 0; i < 16; ++i) {
            if ((children.emplace_back(fork())) == 0) {
                close(gate[1]);
                char byte;
                (void)!read(gate[0], &byte, 1);  // all start when the gate closes
                (void)!freopen("/dev/null", "w", stdout);
                _exit(Ops(i % 2 ? "u" : "i", "svc", kPath));
            }
        }
        close(gate[1]);
        int bad = 0;
        for (pid_t pid : children) {
            int status = 0;
            waitpid(pid, &status, 0);
            bad += !WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 5);
        }
        return bad * 10 + Ops("i", "svc", kPath);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Differences(Installed(kDeb, "svc", kPath), Changes(before, ns.Take())),
              "");  // no temporary file either
}

// Every name with a safe path, then every path with a safe name: refused ones
// print their one line and change nothing; accepted ones write exactly the
// template, which the shells accept. No command ever runs.
TEST_F(Install, HostileNamesAndPathsRunNothingAndTouchNothingElse)
{
    Namespace ns(Deb({{"planted", "planted\n"}}));
    const std::string canary = ns.Dir() + "/canary";
    const Snapshot original = ns.Take();
    struct Case {
        char mark;
        bool ofName;
        std::string name, path;
    };
    std::vector<Case> cases;
    for (const auto& e : Corpus("service-names", canary)) {
        cases.push_back({e.first, true, e.second, kPath});
    }
    for (const auto& e : Corpus("program-paths", canary)) {
        cases.push_back({e.first, false, "svc", e.second});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(Shown(c.ofName ? c.name : c.path, 80));
        if (c.mark == '-') {
            ChildResult r = ns.Run([&] { return Ops("iu", c.name, c.path); });
            std::string line = "Invalid service name [" + Shown(c.name, 255) + "]\n";
            EXPECT_EQ(r.exitCode, c.ofName ? 55 : 50);
            EXPECT_EQ(r.out, c.ofName ? line + line : "Invalid program path [" + Shown(c.path, 1023) + "]\n");
        } else {
            EXPECT_EQ(ns.Run([&] { return Ops("i", c.name, c.path); }).exitCode, 0);
            EXPECT_EQ(Changes(original, ns.Take()),
                      Installed(kDeb, c.name, c.mark == '>' ? RunningExecutable() : c.path));
            ExpectSyntaxOk(ns.Upper() + "/init.d/" + c.name, kDeb);
            EXPECT_EQ(ns.Run([&] { return Ops("u", c.name, c.path); }).exitCode, 0);
        }
        EXPECT_EQ(Changes(original, ns.Take()), Snapshot());
    }
    EXPECT_EQ(ReadFile(ns.Upper() + "/planted"), "planted\n");
    EXPECT_NE(access(canary.c_str(), F_OK), 0) << "a command ran";
}

}  // namespace
