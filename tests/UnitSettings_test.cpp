// The unit install writes, as a value: the client's settings, arguments, reload lines and sandbox profile.
// SPDX-License-Identifier: MIT
#include <ServiceApp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "TestSupport.h"
#include "unix/UnitFile.h"
#include "unix/UnitSettings.h"

using namespace testsupport;

namespace {

std::string Unit()
{
    char text[16384];
    int length = serviceapp::FillUnitFile("svc", "/usr/bin/svc", text, sizeof(text));
    return length < 0 ? "" : std::string(text, static_cast<size_t>(length));
}

// What after has that before has not ("+SECTION|LINE") and the other way
// round ("-SECTION|LINE"), in the order of each text.
std::string Changes(const std::string& before, const std::string& after)
{
    auto lines = [](const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        std::string section;
        for (std::string line; std::getline(in, line);) {
            section = !line.empty() && line[0] == '[' ? line : section;
            out.push_back(section + "|" + line);
        }
        return out;
    };
    std::vector<std::string> a = lines(before), b = lines(after);
    std::string changes;
    for (const std::string& line : a) {
        changes += std::find(b.begin(), b.end(), line) == b.end() ? "-" + line + "\n" : "";
    }
    for (const std::string& line : b) {
        changes += std::find(a.begin(), a.end(), line) == a.end() ? "+" + line + "\n" : "";
    }
    return changes;
}

bool Reloads(CUnixServiceApp&)
{
    return true;
}

TEST(UnitSettings, WrittenWhereTheClientAddsThemAndRefusedWithTheirReason)
{
    const struct {
        const char* what;
        int systemd;                  // the host's version
        bool (*setup)(CServiceApp&);  // the calls before Main: whether all succeeded
        std::string result;           // changes from the unit without any, or what install prints
    } cases[] = {
        // clang-format off
        {"nothing added", 252, [](CServiceApp&) { return true; }, ""},
        {"a reload handler before systemd 253", 252, [](CServiceApp& a) { return a.SetReloadHandler(Reloads), true; },
         "+[Service]|ExecReload=/bin/kill -HUP $MAINPID\n"},
        {"a reload handler from systemd 253", 253, [](CServiceApp& a) { return a.SetReloadHandler(Reloads), true; },
         "-[Service]|Type=notify\n+[Service]|Type=notify-reload\n"},
        {"settings in each section, in order", 252, [](CServiceApp& a) {
             return a.AddUnitSetting("Unit", "After=network-online.target") &&
                    a.AddUnitSetting("Unit", "Wants=network-online.target") &&
                    a.AddUnitSetting("Service", "User=svc") &&
                    a.AddUnitSetting("Service", "Environment=\"A=1 2\" B=%n") &&
                    a.AddUnitSetting("Service", "LimitNOFILE=65536") && a.AddUnitSetting("Install", "Alias=x.service");
         }, "+[Unit]|After=network-online.target\n+[Unit]|Wants=network-online.target\n+[Service]|User=svc\n"
            "+[Service]|Environment=\"A=1 2\" B=%n\n+[Service]|LimitNOFILE=65536\n+[Install]|Alias=x.service\n"},
        {"arguments reach the program byte for byte", 252, [](CServiceApp& a) {
             return a.AddServiceArgument("-log") && a.AddServiceArgument("/var/log/a b") &&
                    a.AddServiceArgument("50%$HOME\"\\\xc3\xa9") && a.AddServiceArgument("");
         }, "-[Service]|ExecStart=/usr/bin/svc\n"
            "+[Service]|ExecStart=/usr/bin/svc \"-log\" \"/var/log/a b\" \"50%%$$HOME\\\"\\\\\\xc3\\xa9\" \"\"\n"},
        {"a line break", 252, [](CServiceApp& a) { return a.AddUnitSetting("Service", "User=a\nExecStartPre=/x"); },
         "refused\nInvalid unit setting [Service] [User=a?ExecStartPre=/x]: holds a line break or another control "
         "character\n"},
        {"an unknown section", 252, [](CServiceApp& a) { return a.AddUnitSetting("Socket", "ListenStream=80"); },
         "refused\nInvalid unit setting [Socket] [ListenStream=80]: unknown section\n"},
        {"no value", 252, [](CServiceApp& a) { return a.AddUnitSetting("Unit", "After"); },
         "refused\nInvalid unit setting [Unit] [After]: not KEY=VALUE\n"},
        {"a continued line", 252, [](CServiceApp& a) { return a.AddUnitSetting("Service", "Environment=A=\\"); },
         "refused\nInvalid unit setting [Service] [Environment=A=\\]: ends in a backslash\n"},
        {"the lifecycle's own key", 252, [](CServiceApp& a) {
             return a.AddUnitSetting("Service", "User=svc") && a.AddUnitSetting("Service", "Type=simple");
         }, "refused\nInvalid unit setting [Service] [Type=simple]: written by the library\n"},
        {"an argument with a line break", 252, [](CServiceApp& a) { return a.AddServiceArgument("a\nb"); },
         "refused\nInvalid service argument [a?b]: holds a control character\n"},
        // clang-format on
    };
    const std::string plain = Unit();
    ASSERT_NE(plain, "");
    for (const auto& c : cases) {
        ChildResult r = RunInChild([&] {
            CServiceApp app;
            serviceapp::SetHostSystemdVersion(c.systemd);
            printf("%s", c.setup(app) ? "" : "refused\n");
            std::string unit = Unit();
            printf("%s", unit.empty() ? "" : Changes(plain, unit).c_str());
            return serviceapp::CheckUnitSettings() == !unit.empty() ? 0 : 1;
        });
        EXPECT_EQ(r.out + r.err, c.result) << c.what;
        EXPECT_EQ(r.exitCode, 0) << c.what << ": a unit written despite a refusal, or none without one";
    }
}

// The profile brings the unit from the manager's worst exposure rating to at
// most 2.0, by the host's own measure.
TEST(UnitSettings, SandboxProfileScoresAtMostTwo)
{
    const char analyze[] = "/usr/bin/systemd-analyze";
    if (access(analyze, X_OK) != 0) {
        GTEST_SKIP() << analyze << " is not installed";
    }
    TempDir dir;
    for (bool sandbox : {false, true}) {
        ChildResult r = RunInChild([&] {
            CServiceApp app;
            app.SetSandboxProfile(sandbox);
            std::string path = dir.path + "/svc.service";
            if (!WriteFile(path, Unit())) {
                return 1;
            }
            execl(analyze, analyze, "security", "--offline=true", path.c_str(), static_cast<char*>(nullptr));
            return 127;
        });
        size_t at = r.out.find("Overall exposure level for svc.service: ");
        ASSERT_NE(at, std::string::npos) << r.out << r.err;
        double score = std::stod(r.out.substr(r.out.find(": ", at) + 2));
        EXPECT_TRUE(sandbox ? score <= 2.0 : score > 9.0) << "sandbox " << sandbox << ": " << score;
    }
}

}  // namespace
