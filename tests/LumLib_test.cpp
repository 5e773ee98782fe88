// The platform stand-in on its own: registry names and locks, configuration lookups and the debug log.
// SPDX-License-Identifier: MIT
#include <LumPlatform.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "Recorder.h"

using namespace testsupport;
using LumLib = LumEnvTest;

namespace {

std::set<std::string> Entries(const std::string& dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        names.insert(entry.path().filename());
    }
    return names;
}

TEST_F(LumLib, EveryNameMapsToItsOwnFileInsideTheRegistry)
{
    const std::string plain246(246, 'a');  // the longest name kept whole
    const struct {
        std::string name;
        std::string file;  // "" for a shortened name: checked by shape
    } cases[] = {
        // clang-format off
        {"svc", "svc-svc.lock"}, {"", "svc-.lock"}, {"a/b", "svc-a%2Fb.lock"}, {"..", "svc-...lock"},
        {"../../etc/passwd", "svc-..%2F..%2Fetc%2Fpasswd.lock"}, {"100%", "svc-100%25.lock"},
        {"a b\n\xff~", "svc-a%20b%0A%FF%7E.lock"}, {plain246, "svc-" + plain246 + ".lock"},
        {plain246 + "a", ""}, {plain246 + "b", ""}, {std::string(120, '/'), ""},
        // clang-format on
    };
    std::set<std::string> seen;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const std::string& name = cases[i].name;
        std::string dir = runtimeDir + "/" + std::to_string(i);
        setenv("LUM_RUNTIME_DIR", dir.c_str(), 1);
        ChildResult r = RunInChild([&name] {
            int first = uxsvc_checkin(name.c_str());
            int running = uxsvc_isrunning(name.c_str());
            return first + 2 * running + 4 * uxsvc_checkin(name.c_str());
        });
        EXPECT_EQ(r.exitCode, 7) << "checked in, seen by its own process, again accepted: " << i;
        std::set<std::string> files = Entries(dir);
        ASSERT_EQ(files.size(), 1u) << i;
        const std::string& file = *files.begin();
        if (!cases[i].file.empty()) {
            EXPECT_EQ(file, cases[i].file) << i;
        } else {
            EXPECT_LE(file.size(), 255u) << i;
            EXPECT_EQ(file.find('~'), file.size() - 22) << "shortened with a hash: " << file;
            EXPECT_EQ(file.compare(file.size() - 5, 5, ".lock"), 0) << file;
        }
        EXPECT_TRUE(seen.insert(file).second) << "two names share " << file;
        EXPECT_EQ(uxsvc_isrunning(name.c_str()), 0) << "released at exit: " << i;
    }
    EXPECT_EQ(Entries(tmp.path + "/run"), std::set<std::string>{"lum"}) << "nothing outside the registry";
    EXPECT_EQ(Entries(runtimeDir).size(), sizeof(cases) / sizeof(cases[0]));
}

// Registration by a process that forks: its child neither keeps nor takes
// the name while the parent lives, and the name is free once the parent is
// killed, although the child lives on.
TEST_F(LumLib, RegistrationBelongsToTheLiveProcessThatCheckedIn)
{
    int go[2];  // tells the child that its parent has been reaped
    ASSERT_EQ(pipe(go), 0);
    Child holder([&go] {
        if (uxsvc_checkin("one") != 1) {
            return 1;
        }
        ReportEvent('h');
        if (fork() == 0) {
            alarm(60);
            ReportEvent(static_cast<char>('0' + uxsvc_isrunning("one")));
            ReportEvent(static_cast<char>('0' + uxsvc_checkin("one")));
            char byte;
            (void)!read(go[0], &byte, 1);
            ReportEvent(static_cast<char>('0' + uxsvc_isrunning("one")));
            ReportEvent(static_cast<char>('0' + uxsvc_checkin("one")));
            _exit(0);
        }
        pause();
        return 0;
    });
    close(go[0]);
    ASSERT_EQ(holder.Next(), 'h');
    EXPECT_EQ(uxsvc_isrunning("one"), 1);
    EXPECT_EQ(RunInChild([] { return uxsvc_checkin("one"); }).exitCode, 0) << "another process holds it";
    EXPECT_EQ(holder.Next(), '1') << "the child sees its parent's registration";
    EXPECT_EQ(holder.Next(), '0') << "and cannot take it";
    holder.Stop(SIGKILL);
    EXPECT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    EXPECT_EQ(holder.Next(), '0') << "the child does not keep the killed parent's registration";
    EXPECT_EQ(holder.Next(), '1') << "and can now take the name";
    EXPECT_EQ(holder.Next(), -1);  // the child has gone
}

// Whatever stands in a registration's place that is not a plain file of the
// caller's own is neither locked nor truncated.
TEST_F(LumLib, CheckInFailsWhereTheRegistryCannotBeWritten)
{
    const std::string reg = tmp.path + "/reg/";
    ASSERT_TRUE(WriteFile(tmp.path + "/plain", "x"));
    ASSERT_EQ(mkdir((tmp.path + "/reg").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../plain", (reg + "svc-link.lock").c_str()), 0);
    ASSERT_EQ(mkdir((reg + "svc-dir.lock").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((reg + "svc-fifo.lock").c_str(), 0644), 0);
    ASSERT_EQ(link((tmp.path + "/plain").c_str(), (reg + "svc-hard.lock").c_str()), 0);
    ASSERT_TRUE(WriteFile(reg + "svc-foreign.lock", "4711\n"));
    bool foreign = chown((reg + "svc-foreign.lock").c_str(), geteuid() + 1, getegid()) == 0;
    const struct {
        std::string dir;
        const char* name;
        int expected;
    } cases[] = {
        {tmp.path + "/plain/reg", "svc", 0},  // beneath a regular file
        {tmp.path + "/reg", "link", 0},       // a planted symbolic link is not followed
        {tmp.path + "/reg", "dir", 0},
        {tmp.path + "/reg", "fifo", 0},
        {tmp.path + "/reg", "hard", 0},                   // a second name of a file elsewhere
        {tmp.path + "/reg", "foreign", foreign ? 0 : 1},  // another user's (unless it cannot be given away)
        {tmp.path + "/new/a/b", "svc", 1},                // missing levels are created
    };
    for (const auto& c : cases) {
        setenv("LUM_RUNTIME_DIR", c.dir.c_str(), 1);
        ChildResult r = RunInChild([&c] { return uxsvc_checkin(c.name) + 2 * uxsvc_isrunning(c.name); });
        EXPECT_EQ(r.exitCode, 3 * c.expected) << c.dir << " " << c.name;
    }
    EXPECT_EQ(ReadFile(tmp.path + "/plain"), "x");
    EXPECT_TRUE(!foreign || ReadFile(reg + "svc-foreign.lock") == "4711\n")
        << "another user's file untouched";
}

TEST_F(LumLib, ConfigurationLookups)
{
    ASSERT_TRUE(WriteFile(configFile,
                          "; a comment\ntop = before any section\n[Base]\ndCOREDIR = /opt/core dir  \n"
                          "\t spaced key\t =  spaced value \nempty=\n#hidden=1\n  ;hidden2=1\nsemi=a;b#c\n"
                          "equals=x=y\ndup=first\nnovalue\n[ Other ]\ndCOREDIR=/other\n[Broken\nlost=1\n"
                          "[Base]\ndup=last\nCaseKey=1\n"));
    const struct {
        const char* section;
        const char* key;
        const char* value;  // null: not found
    } cases[] = {
        // clang-format off
        {"Base", "dCOREDIR", "/opt/core dir"}, {"Base", "spaced key", "spaced value"}, {"Base", "empty", ""},
        {"Base", "#hidden", nullptr}, {"Base", ";hidden2", nullptr}, {"Base", "semi", "a;b#c"},
        {"Base", "equals", "x=y"}, {"Base", "dup", "last"}, {"Base", "novalue", nullptr},
        {"Other", "dCOREDIR", "/other"}, {"Broken", "lost", nullptr}, {"Base", "lost", nullptr},
        {"", "top", "before any section"}, {"Base", "top", nullptr}, {"base", "dCOREDIR", nullptr},
        {"Base", "casekey", nullptr}, {"Missing", "dCOREDIR", nullptr},
        // clang-format on
    };
    LUMPlatformInfo info;
    for (const auto& c : cases) {
        std::string value = "untouched";
        int found = info.getString(c.section, c.key, &value);
        EXPECT_EQ(found != 0, c.value != nullptr) << c.section << "/" << c.key;
        EXPECT_EQ(value, c.value ? c.value : "untouched") << c.section << "/" << c.key;
    }
    ASSERT_TRUE(WriteFile(configFile, "\xEF\xBB\xBF[Base]\r\ndCOREDIR=/crlf\r\n"));
    std::string value;
    EXPECT_NE(info.getString("Base", "dCOREDIR", &value), 0);
    EXPECT_EQ(value, "/crlf") << "byte order mark and CR LF line ends";
    // None of these is a configuration; a FIFO is not waited on (the child's
    // alarm would end a wait).
    ASSERT_EQ(mkfifo((tmp.path + "/fifo.conf").c_str(), 0644), 0);
    for (std::string path : {tmp.path + "/absent.conf", tmp.path, tmp.path + "/fifo.conf"}) {
        setenv("LUM_CONFIG", path.c_str(), 1);
        ChildResult r = RunInChild([&info] { return info.getString("Base", "dCOREDIR", nullptr); }, 60);
        EXPECT_TRUE(r.exited && r.exitCode == 0) << path;
    }
}

TEST_F(LumLib, LogEntriesAreSingleLinesWithTimeProcessAndLevel)
{
    EXPECT_EQ(LUMPI_Focus::IsAServer, 0);
    const std::string big(5000, 'x');
    time_t before = time(nullptr);
    ChildResult r = RunInChild([&big] {
        setenv("TZ", "JST-9", 1);  // the stamps are UTC whatever the local zone
        EvDebug debugLog(nullptr);
        debugLog.debug("plain %d%%", 5);
        debugLog.error("with [brackets] and %s", "text");
        debugLog.debug("two\nlines\x1b\tend");
        debugLog.debug("%s", big.c_str());
        LUMPI_Focus::setFocus("inst1");
        printf("%ld", static_cast<long>(getpid()));
        return 0;
    });
    time_t after = time(nullptr);
    std::vector<std::string> stamps;
    std::vector<long> pids;
    EXPECT_EQ(LogTexts(logFile, &stamps, &pids),
              (std::vector<std::string>{"DEBUG plain 5%", "ERROR with [brackets] and text",
                                        "DEBUG two\\x0alines\\x1b\tend", "DEBUG " + big,
                                        "DEBUG Focus set to instance [inst1]."}));
    for (size_t i = 0; i < stamps.size(); ++i) {
        EXPECT_EQ(std::to_string(pids[i]), r.out) << "the writer's own pid";
        struct tm stamp = {};
        ASSERT_TRUE(strptime(stamps[i].c_str(), "%Y-%m-%dT%H:%M:%S", &stamp)) << stamps[i];
        time_t at = timegm(&stamp);
        EXPECT_TRUE(at >= before && at <= after) << stamps[i] << " is UTC and current";
    }

    // Without LUM_DEBUG_LOG the log lives in the runtime directory, made on demand.
    unsetenv("LUM_DEBUG_LOG");
    EvDebug(nullptr).debug("default");
    EXPECT_EQ(LogTexts(runtimeDir + "/debug.log"), std::vector<std::string>{"DEBUG default"});

    // A log in a directory not made yet gets its directory; a log that
    // cannot be opened (beneath a file, or a symbolic link in its place)
    // drops the entry and leaves errno alone.
    ASSERT_TRUE(WriteFile(tmp.path + "/target", "x"));
    ASSERT_EQ(symlink("target", (tmp.path + "/link.log").c_str()), 0);
    const struct {
        std::string path;
        std::vector<std::string> texts;
    } cases[] = {
        {tmp.path + "/new/logs/debug.log", {"ERROR entry"}},
        {tmp.path + "/target/debug.log", {}},
        {tmp.path + "/link.log", {"malformed: x"}},
    };
    for (const auto& c : cases) {
        setenv("LUM_DEBUG_LOG", c.path.c_str(), 1);
        errno = 1234;
        EvDebug(nullptr).error("entry");
        EXPECT_EQ(errno, 1234) << c.path;
        EXPECT_EQ(LogTexts(c.path), c.texts) << c.path;
    }
}

}  // namespace
