// The unit install writes, as a value: the client's settings, arguments and reload lines, and refusals.
// SPDX-License-Identifier: MIT
#include <ServiceApp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include "TestSupport.h"
#include "unix/UnitFile.h"
#include "unix/UnitSettings.h"

using namespace testsupport;

namespace {

// The unit's lines, each "[SECTION]|LINE"; empty when none is written.
std::vector<std::string> UnitLines()
{
    char text[16384];
    std::vector<std::string> lines;
    std::istringstream in(serviceapp::FillUnitFile("svc", "/usr/bin/svc", text, sizeof(text)) < 0 ? ""
                                                                                                  : text);
    std::string section;
    for (std::string line; std::getline(in, line);) {
        section = !line.empty() && line[0] == '[' ? line : section;
        lines.push_back(section + "|" + line);
    }
    return lines;
}

// Each row in a process of its own: the calls ("reload": a reload handler,
// "arg": AddServiceArgument, else AddUnitSetting's section), then what changed
// from the unit without them ("-" gone, "+" new, in order) or what install prints.
TEST(UnitSettings, WrittenWhereTheClientAddsThemAndRefusedWithTheirReason)
{
    const struct {
        const char* what;
        int systemd;  // the host's version
        std::vector<std::pair<const char*, const char*>> calls;
        std::string result;
    } cases[] = {
        // clang-format off
        {"a reload handler before systemd 253", 252, {{"reload", ""}},
         "+[Service]|ExecReload=/bin/kill -HUP $MAINPID\n"},
        {"a reload handler from systemd 253", 253, {{"reload", ""}},
         "-[Service]|Type=notify\n+[Service]|Type=notify-reload\n"},
        {"settings in each section, in order", 252,
         {{"Unit", "After=network-online.target"}, {"Service", "User=svc"},
          {"Service", "Environment=\"A=1 2\" B=%n"}, {"Install", "Alias=x"}},
         "+[Unit]|After=network-online.target\n+[Service]|User=svc\n+[Service]|Environment=\"A=1 2\" B=%n\n"
         "+[Install]|Alias=x\n"},
        {"arguments, byte for byte", 252, {{"arg", "/a b"}, {"arg", "5%$H\"\\\xc3\xa9"}, {"arg", ""}},
         "-[Service]|ExecStart=/usr/bin/svc\n"
         "+[Service]|ExecStart=/usr/bin/svc \"/a b\" \"5%%$$H\\\"\\\\\\xc3\\xa9\" \"\"\n"},
        {"a line break", 252, {{"Service", "User=a\nExecStartPre=/x"}},
         "Invalid unit setting [Service] [User=a?ExecStartPre=/x]: holds a line break or another control "
         "character\n"},
        {"an unknown section", 252, {{"Socket", "ListenStream=80"}},
         "Invalid unit setting [Socket] [ListenStream=80]: unknown section\n"},
        {"no value", 252, {{"Unit", "After"}}, "Invalid unit setting [Unit] [After]: not KEY=VALUE\n"},
        {"a continued line", 252, {{"Service", "Environment=A=\\"}},
         "Invalid unit setting [Service] [Environment=A=\\]: ends in a backslash\n"},
        {"the lifecycle's key after a good one", 252, {{"Service", "User=svc"}, {"Service", "Type=simple"}},
         "Invalid unit setting [Service] [Type=simple]: written by the library\n"},
        {"an argument with a line break", 252, {{"arg", "a\nb"}},
         "Invalid service argument [a?b]: holds a control character\n"},
        // clang-format on
    };
    const std::vector<std::string> plain = UnitLines();
    for (const auto& c : cases) {
        ChildResult r = RunInChild([&] {
            CServiceApp app;
            serviceapp::SetHostSystemdVersion(c.systemd);
            bool accepted = true;
            for (const auto& [kind, text] : c.calls) {
                accepted =
                    (!strcmp(kind, "reload") ? app.SetReloadHandler([](CUnixServiceApp&) { return true; }),
                     true
                 : !strcmp(kind, "arg") ? app.AddServiceArgument(text)
                                        : app.AddUnitSetting(kind, text)) &&
                    accepted;
            }
            std::vector<std::string> unit = UnitLines();
            auto missing = [](const std::vector<std::string>& from, const std::vector<std::string>& in,
                              char sign) {
                for (const std::string& line : from) {
                    printf("%s", std::find(in.begin(), in.end(), line) == in.end()
                                     ? (sign + line + "\n").c_str()
                                     : "");
                }
            };
            missing(unit.empty() ? unit : plain, unit, '-');
            missing(unit, plain, '+');
            // A refused call gives false, and then no unit and a message.
            return serviceapp::CheckUnitSettings() == accepted && accepted == !unit.empty() ? 0 : 1;
        });
        EXPECT_EQ(r.out + r.err, c.result) << c.what;
        EXPECT_EQ(r.exitCode, 0) << c.what
                                 << ": a refusal not reported as false, or a unit written despite it";
    }
}

}  // namespace
