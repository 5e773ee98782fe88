// The init-script templates: their exact lines, and plain substitution when filling.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unix/InitScripts.h"

using serviceapp::FillInitScript;
using serviceapp::InitScriptTemplate;

namespace {

// One entry per line of each template, as administrators' tools expect them;
// only the two start lines differ from the historical scripts.
const char* const kRedHatLines[] = {
    "#!/bin/bash",
    "#",
    "### BEGIN INIT INFO ",
    "# Provides:             %s",
    "# Required-Start:       $null",
    "# Should-Start:         $null",
    "# Required-Stop:        $null",
    "# Should-Stop:          $null",
    "# Default-Start:        3 5",
    "# Default-Stop:         0 1 2 6",
    "# Short-Description:    ",
    "# Description:          ",
    "### END INIT INFO ",
    "#",
    "",
    ". /etc/init.d/functions",
    "",
    "SVC_BIN=%s",
    "SVC_NAME=%s",
    "RETVAL=0",
    "",
    "start() {",
    "\tif ! status $SVC_NAME >&/dev/null; then",
    "\t\techo -n Starting $SVC_NAME",
    "\t\tdaemon $SVC_BIN \"&\"",  // quoted & so daemon's bash -c backgrounds the program
    "\t\tRETVAL=$?",
    "\telse",
    "\t\techo -n $SVC_NAME already running",
    "\tfi",
    "\techo",
    "}",
    "",
    "stop() {",
    "\techo -n Stopping $SVC_NAME",
    "\tkillproc $SVC_NAME",
    "\techo",
    "}",
    "",
    "case \"$1\" in",
    "\tstart)",
    "\t\tstart",
    "\t\t;;",
    "\tstop)",
    "\t\tstop",
    "\t\t;;",
    "\tstatus)",
    "\t\tstatus $SVC_NAME",
    "\t\tRETVAL=$?",
    "\t\t;;",
    "\trestart|reload|condrestart)",
    "\t\tstop",
    "\t\tstart",
    "\t\t;;",
    "\t*)",
    "\t\techo $\"Usage: $0 {start|stop|restart|reload|status}\"",
    "\t\texit 1",
    "esac",
    "exit $RETVAL",
};

const char* const kSuSELines[] = {
    "#!/bin/bash",
    "#",
    "### BEGIN INIT INFO ",
    "# Provides:             %s",
    "# Required-Start:       $null",
    "# Should-Start:         $null",
    "# Required-Stop:        $null",
    "# Should-Stop:          $null",
    "# Default-Start:        3 5",
    "# Default-Stop:         0 1 2 6",
    "# Short-Description:    ",
    "# Description:          ",
    "### END INIT INFO ",
    "#",
    "",
    "",
    ". /etc/rc.status",
    "",
    "SVC_BIN=%s",
    "SVC_NAME=%s",
    "",
    "# Reset status of this service",
    "rc_reset",
    "",
    "start() {",
    "\tif ! status $SVC_NAME >&/dev/null; then",
    "\t\techo -n Starting $SVC_NAME",
    "\t\tstartproc $SVC_BIN ",
    "\t\trc_status -v",
    "\telse",
    "\t\techo -n $SVC_NAME already running",
    "\tfi",
    "}",
    "",
    "stop() {",
    "\techo -n Stopping $SVC_NAME",
    "\tkillproc $SVC_NAME",
    "\trc_status -v",
    "}",
    "",
    "case \"$1\" in",
    "\tstart)",
    "\t\tstart",
    "\t\t;;",
    "\tstop)",
    "\t\tstop",
    "\t\t;;",
    "\tstatus)",
    "\t\techo -n Checking $SVC_NAME",
    "\t\tcheckproc $SVC_NAME",
    "\t\trc_status -v",
    "\t\t;;",
    "\trestart|reload|condrestart)",
    "\t\tstop",
    "\t\tstart",
    "\t\t;;",
    "\t*)",
    "\t\techo $\"Usage: $0 {start|stop|restart|reload|status}\"",
    "\t\texit 1",
    "esac",
    "rc_exit",
};

const char* const kDebianLines[] = {
    "#!/bin/sh",
    "# bin/sh is used instead of /bin/bash, because lsb has issues with bash",
    "### BEGIN INIT INFO",
    "# Provides:          %s",
    "# Required-Start:    $null",
    "# Required-Stop:     $null",
    "# Default-Start:     3 2 5",
    "# Default-Stop:      0 1 6",
    "# Short-Description: ",
    "# Description:       ",
    "### END INIT INFO",
    "",
    "# Using the lsb functions to perform the operations.",
    ". /lib/lsb/init-functions",
    "# Process name ( For display )",
    "DAEMON=%s",
    "NAME=%s",
    "# Daemon name, where is the actual executable",
    "# pid file for the daemon",
    "PIDFILE=/var/run/%s.pid",
    "",
    "# If the daemon is not there, then exit.",
    "test -x $DAEMON || exit 5",
    "",
    "case $1 in",
    " start)",
    "  # Checked the PID file exists and check the actual status of process",
    "  if [ -e $PIDFILE ]; then",
    "   status_of_proc -p $PIDFILE $DAEMON \"$NAME process\" && status=\"0\" || status=\"$?\"",
    "   # If the status is SUCCESS then don't need to start again.",
    "   if [ $status = \"0\" ]; then",
    "    exit # Exit",
    "   fi",
    "  fi",
    "  # Start the daemon.",
    "  log_daemon_msg \"Starting the process\" \"$NAME\"",
    "  # Start the daemon with the help of start-stop-daemon",
    "  # Log the message appropriately",
    "  if start-stop-daemon --start --quiet --oknodo --background --pidfile $PIDFILE --exec $DAEMON -m ; then",  // --background: start returns
    "   log_end_msg 0",
    "  else",
    "   log_end_msg 1",
    "  fi",
    "  ;;",
    " stop)",
    "  # Stop the daemon.",
    "  if [ -e $PIDFILE ]; then",
    "   status_of_proc -p $PIDFILE $DAEMON \"Stoppping the $NAME process\" && status=\"0\" || status=\"$?\"",
    "   if [ \"$status\" = 0 ]; then",
    "    start-stop-daemon --stop --quiet --oknodo --pidfile $PIDFILE",
    "    /bin/rm -rf $PIDFILE",
    "   fi",
    "  else",
    "   log_daemon_msg \"$NAME process is not running\"",
    "   log_end_msg 0",
    "  fi",
    "  ;;",
    " restart)",
    "  # Restart the daemon.",
    "  $0 stop && sleep 2 && $0 start",
    "  ;;",
    " status)",
    "  # Check the status of the process.",
    "  if [ -e $PIDFILE ]; then",
    "   status_of_proc -p $PIDFILE $DAEMON \"$NAME process\" && exit 0 || exit $?",
    "  else",
    "   log_daemon_msg \"$NAME Process is not running\"",
    "   log_end_msg 0",
    "  fi",
    "  ;;",
    " reload)",
    "  # Reload the process. Basically sending some signal to a daemon to reload",
    "  # it configurations.",
    "  if [ -e $PIDFILE ]; then",
    "   start-stop-daemon --stop --signal USR1 --quiet --pidfile $PIDFILE --name $NAME",
    "   log_success_msg \"$NAME process reloaded successfully\"",
    "  else",
    "   log_failure_msg \"$PIDFILE does not exist\"",
    "  fi",
    "  ;;",
    " *)",
    "  # For invalid arguments, print the usage message.",
    "  echo \"Usage: $0 {start|stop|restart|reload|status}\"",
    "  exit 2",
    "  ;;",
    "esac",
};

template <size_t N>
std::string Joined(const char* const (&lines)[N])
{
    std::string text;
    for (const char* line : lines) {
        text += line;
        text += '\n';
    }
    return text;
}

std::string Filled(eLinuxDistribution distribution, const char* name, const char* path)
{
    char out[8192];
    int n = FillInitScript(distribution, name, path, out, sizeof(out));
    return n < 0 ? "(failed)" : std::string(out, static_cast<size_t>(n));
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

TEST(InitScripts, EachFamilyHasItsTemplateLineForLine)
{
    const struct {
        eLinuxDistribution distribution;
        std::string expected;
    } cases[] = {
        {eDistRedHat, Joined(kRedHatLines)}, {eDistCentOS, Joined(kRedHatLines)},
        {eDistOracle, Joined(kRedHatLines)}, {eDistSuSE, Joined(kSuSELines)},
        {eDistUbuntu, Joined(kDebianLines)}, {eDistDebian, Joined(kDebianLines)},
    };
    for (const auto& c : cases) {
        ASSERT_NE(InitScriptTemplate(c.distribution), nullptr) << c.distribution;
        std::vector<std::string> got = Lines(InitScriptTemplate(c.distribution));
        std::vector<std::string> want = Lines(c.expected);
        ASSERT_EQ(got.size(), want.size()) << c.distribution;
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(got[i], want[i]) << "distribution " << c.distribution << " line " << i + 1;
        }
        EXPECT_EQ(InitScriptTemplate(c.distribution), c.expected);
    }
    EXPECT_EQ(Lines(Joined(kRedHatLines)).size(), 58u);
    EXPECT_EQ(Lines(Joined(kSuSELines)).size(), 61u);
    EXPECT_EQ(Lines(Joined(kDebianLines)).size(), 86u);
}

TEST(InitScripts, FedoraAndUnknownHaveNone)
{
    for (eLinuxDistribution d : {eDistFedora, eDistUnknown, static_cast<eLinuxDistribution>(8)}) {
        EXPECT_EQ(InitScriptTemplate(d), nullptr);
        char out[8192];
        EXPECT_EQ(FillInitScript(d, "svc", "/opt/x/bin/svc", out, sizeof(out)), -1);
    }
}

TEST(InitScripts, FillingPutsNamePathNameInOrder)
{
    std::vector<std::string> redHat = Lines(Filled(eDistCentOS, "svc", "/opt/x/bin/svc"));
    EXPECT_EQ(redHat[3], "# Provides:             svc");
    EXPECT_EQ(redHat[17], "SVC_BIN=/opt/x/bin/svc");
    EXPECT_EQ(redHat[18], "SVC_NAME=svc");
    std::vector<std::string> suse = Lines(Filled(eDistSuSE, "svc", "/opt/x/bin/svc"));
    EXPECT_EQ(suse[3], "# Provides:             svc");
    EXPECT_EQ(suse[18], "SVC_BIN=/opt/x/bin/svc");
    EXPECT_EQ(suse[19], "SVC_NAME=svc");
    std::vector<std::string> debian = Lines(Filled(eDistDebian, "svc", "/opt/x/bin/svc"));
    EXPECT_EQ(debian[3], "# Provides:          svc");
    EXPECT_EQ(debian[15], "DAEMON=/opt/x/bin/svc");
    EXPECT_EQ(debian[16], "NAME=svc");
    EXPECT_EQ(debian[19], "PIDFILE=/var/run/svc.pid");
    // Nothing else changes.
    std::string expected = Joined(kDebianLines);
    for (const char* value : {"svc", "/opt/x/bin/svc", "svc", "svc"}) {
        expected.replace(expected.find("%s"), 2, value);
    }
    EXPECT_EQ(Filled(eDistDebian, "svc", "/opt/x/bin/svc"), expected);
}

TEST(InitScripts, PercentInNameOrPathIsWrittenAsItStands)
{
    std::vector<std::string> lines = Lines(Filled(eDistRedHat, "a%s%n%d", "/opt/%s/%%/%n"));
    EXPECT_EQ(lines[3], "# Provides:             a%s%n%d");
    EXPECT_EQ(lines[17], "SVC_BIN=/opt/%s/%%/%n");
    EXPECT_EQ(lines[18], "SVC_NAME=a%s%n%d");
}

TEST(InitScripts, RefusesABufferTooSmallToHoldTheScript)
{
    char out[8192];
    int length = FillInitScript(eDistSuSE, "svc", "/p", out, sizeof(out));
    ASSERT_GT(length, 0);
    size_t exact = static_cast<size_t>(length) + 1;
    EXPECT_EQ(FillInitScript(eDistSuSE, "svc", "/p", out, exact), length);
    EXPECT_EQ(out[length], '\0');
    EXPECT_EQ(FillInitScript(eDistSuSE, "svc", "/p", out, exact - 1), -1);
    EXPECT_EQ(FillInitScript(eDistSuSE, "svc", "/p", out, 0), -1);
    EXPECT_EQ(FillInitScript(eDistSuSE, nullptr, "/p", out, sizeof(out)), -1);
}

}  // namespace
