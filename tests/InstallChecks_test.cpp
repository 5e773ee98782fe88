// Which service names and program paths install accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "unix/InstallChecks.h"

using serviceapp::IsSafeProgramPath;
using serviceapp::IsValidServiceName;

namespace {

bool NameOk(const std::string& name)
{
    char field[256] = {};
    memcpy(field, name.data(), std::min(name.size(), sizeof(field)));
    return IsValidServiceName(field, sizeof(field));
}

TEST(InstallChecks, ServiceNames)
{
    const struct {
        std::string name;
        bool ok;
    } cases[] = {
        {"svc", true},
        {"a", true},
        {"9lives", true},
        {"my-svc_1.0@x+y", true},
        {"Z.", true},
        {std::string(240, 'n'), true},
        {std::string(241, 'n'), false},
        {std::string(255, 'n'), false},
        {"", false},
        {"-svc", false},
        {".svc", false},
        {"_svc", false},
        {"@svc", false},
        {"+svc", false},
        {"..", false},
        {"a/b", false},
        {"a b", false},
        {"a\tb", false},
        {"a\nb", false},
        {"a$b", false},
        {"a;b", false},
        {"a`b", false},
        {"a'b", false},
        {"a\"b", false},
        {"a*", false},
        {"a%s", false},
        {"a:b", false},
        {"a\\b", false},
        {"caf\xc3\xa9", false},
        {"a\x7f", false},
        {"a~", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NameOk(c.name), c.ok) << c.name;
    }
}

TEST(InstallChecks, NameFieldWithoutTerminatorIsRefused)
{
    char field[256];
    memset(field, 'a', sizeof(field));
    EXPECT_FALSE(IsValidServiceName(field, sizeof(field)));
    EXPECT_FALSE(IsValidServiceName(nullptr, 256));
    field[3] = '\0';
    EXPECT_TRUE(IsValidServiceName(field, sizeof(field)));
}

TEST(InstallChecks, ProgramPaths)
{
    const struct {
        std::string path;
        bool ok;
    } cases[] = {
        {"/opt/x/bin/svc", true},
        {"/usr/sbin/my-daemon_1.2+x@y:z,=%", true},
        {"/opt/caf\xc3\xa9/\xff\xfe", true},
        {"/" + std::string(1021, 'p'), true},
        {"/" + std::string(1022, 'p'), false},
        {"/" + std::string(4000, 'p'), false},
        {"/opt/a b", false},
        {"/opt/a\tb", false},
        {"/opt/a\nb", false},
        {"/opt/a\rb", false},
        {"/opt/a\x7f", false},
        {"/opt/a\x01", false},
        {"/opt/a'", false},
        {"/opt/a\"", false},
        {"/opt/$HOME", false},
        {"/opt/`id`", false},
        {"/opt/a\\b", false},
        {"/opt/a;b", false},
        {"/opt/a&", false},
        {"/opt/a|b", false},
        {"/opt/a<b", false},
        {"/opt/a>b", false},
        {"/opt/(a)", false},
        {"/opt/a*", false},
        {"/opt/a?", false},
        {"/opt/[a]", false},
        {"/opt/~a", false},
        {"/opt/{a,b}", false},
        {"/opt/#a", false},
        {"/opt/svc (deleted)", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSafeProgramPath(c.path.c_str()), c.ok) << c.path;
    }
    EXPECT_FALSE(IsSafeProgramPath(nullptr));
}

}  // namespace
