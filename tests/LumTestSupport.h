// Shared by the platform tests: private registry, configuration and log files, and the log's entries.
#ifndef SERVICEAPP_TESTS_LUMTESTSUPPORT_H
#define SERVICEAPP_TESTS_LUMTESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace lumtest {

// Points the platform library at files in a fresh temporary directory, never
// at the host's /run/lum or /etc/lum. Children inherit the environment.
class LumEnvTest : public ::testing::Test {
protected:
    testsupport::TempDir tmp;
    std::string runtimeDir;  // LUM_RUNTIME_DIR, not created beforehand
    std::string configFile;  // LUM_CONFIG, not created beforehand
    std::string logFile;     // LUM_DEBUG_LOG

    void SetUp() override
    {
        ASSERT_FALSE(tmp.path.empty());
        runtimeDir = tmp.path + "/run/lum";
        configFile = tmp.path + "/lum.conf";
        logFile = tmp.path + "/debug.log";
        setenv("LUM_RUNTIME_DIR", runtimeDir.c_str(), 1);
        setenv("LUM_CONFIG", configFile.c_str(), 1);
        setenv("LUM_DEBUG_LOG", logFile.c_str(), 1);
    }
};

struct LogEntry {
    std::string timestamp;
    long pid;
    std::string text;  // "LEVEL message"
};

// The entries of a debug log; a line that is not a well-formed entry comes
// back whole as its text, marked "malformed: ", with pid -1.
inline std::vector<LogEntry> ReadLog(const std::string& path)
{
    static const std::regex entry(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (\d+) ((DEBUG|ERROR) .*)$)");
    std::vector<LogEntry> entries;
    std::istringstream in(testsupport::ReadFile(path));
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        bool ok = std::regex_match(line, m, entry);
        entries.push_back(ok ? LogEntry{m[1], std::stol(m[2]), m[3]}
                             : LogEntry{"", -1, "malformed: " + line});
    }
    return entries;
}

// Just the "LEVEL message" texts of a debug log.
inline std::vector<std::string> LogTexts(const std::string& path)
{
    std::vector<std::string> texts;
    for (const LogEntry& e : ReadLog(path)) {
        texts.push_back(e.text);
    }
    return texts;
}

}  // namespace lumtest

#endif
