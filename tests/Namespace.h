// A private mount namespace with an overlay over /etc and a tmpfs over /run, for tests that write there.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_TESTS_NAMESPACE_H
#define SERVICEAPP_TESTS_NAMESPACE_H

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "UnixServiceApp.h"

namespace testsupport {

// What /etc shows on top of the host's when a body starts; paths relative to /etc.
struct EtcLayout {
    std::vector<std::string> hide;                // hidden with whiteouts
    std::vector<std::string> dirs;                // directories created
    std::map<std::string, std::string> files;     // files created, with content
    std::map<std::string, std::string> symlinks;  // symlinks created, with target
};

// The overlay's upper directory by relative path: "dir", "whiteout", "-> TARGET" or "file MODE\nCONTENT".
using Snapshot = std::map<std::string, std::string>;

// Every Run mounts the same upper directory over /etc afresh, so what one body
// wrote, the next one sees. The host's /etc never changes.
class Namespace {
public:
    explicit Namespace(const EtcLayout& layout = {});
    // Runs body in a forked child in its own mount namespace with / private,
    // the overlay over /etc and a fresh tmpfs over /run.
    ChildResult Run(const std::function<int()>& body, unsigned timeoutSeconds = 120);
    // The temporary directory (upper/ holds /etc's changes); free for a test's own files too.
    const std::string& Dir() const { return m_dir.path; }
    std::string Upper() const { return m_dir.path + "/upper"; }
    Snapshot Take() const;
    // Null when namespaces and overlays work here, else why not.
    static const char* Unavailable();

private:
    TempDir m_dir;
};

// What differs between two snapshots: path -> entry after ("" when removed).
Snapshot Changes(const Snapshot& before, const Snapshot& after);

// Empty when got equals want; else one line per differing path, naming the
// first differing line of an entry rather than showing it whole.
std::string Differences(const Snapshot& want, const Snapshot& got);

// Runs argv[0] with argv (and the extra environment entries) in a child and
// captures its output; exitCode 127 when it could not be run.
ChildResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                       unsigned timeoutSeconds = 60);

bool IsDebian(eLinuxDistribution d);
// Relative to /etc: the run-level link of level for the distribution family.
std::string LinkOf(eLinuxDistribution d, int level, const std::string& name);
// /etc as the distribution shows it: its release files only (the others
// hidden), /etc/init.d and the seven run-level directories; with systemd,
// /etc/systemd/system too, else that is hidden (a host may have it).
EtcLayout Host(eLinuxDistribution d, bool systemd = false);

}  // namespace testsupport

// Base fixture for tests that need the namespace: skips with the reason when this host cannot give one.
class NamespaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* why = testsupport::Namespace::Unavailable()) {
            GTEST_SKIP() << why;
        }
    }
};

#endif
