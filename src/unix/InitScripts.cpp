// The three init-script templates and their filling.
// SPDX-License-Identifier: MIT
#include "unix/InitScripts.h"

#include <cstdio>
#include <cstring>

namespace serviceapp {

namespace {

// Each %s is filled, in order, with the name (the marker line), the name, the
// program path, then the name again for every further %s. No other % occurs
// in the templates. The marker line, second in every script, is how install
// and uninstall know the script as the library's.

// The daemon function runs "bash -c $*" in the foreground; the quoted & puts
// the program in the background there so that start returns, the pid file
// records it (the library never forks, so it is the service's pid), and the
// start fails unless the program is still there a second later: the family
// has no readiness message to wait for. Stop gives the service its 30 s of
// de-initialization before SIGKILL, and a stop that needed SIGKILL fails;
// reload signals the pid in the pid file.
// The marker line, as a literal so that each template can begin with it.
#define SERVICEAPP_SCRIPT_MARKER "# Written by serviceapp for %s: -uninstall removes it\n"

const char kRedHatTemplate[] =
    "#!/bin/bash\n" SERVICEAPP_SCRIPT_MARKER
    "#\n"
    "### BEGIN INIT INFO \n"
    "# Provides:             %s\n"
    "# Required-Start:       $null\n"
    "# Should-Start:         $null\n"
    "# Required-Stop:        $null\n"
    "# Should-Stop:          $null\n"
    "# Default-Start:        3 5\n"
    "# Default-Stop:         0 1 2 6\n"
    "# Short-Description:    \n"
    "# Description:          \n"
    "### END INIT INFO \n"
    "#\n"
    "\n"
    ". /etc/init.d/functions\n"
    "\n"
    "SVC_BIN=%s\n"
    "SVC_NAME=%s\n"
    "PIDFILE=/var/run/%s.pid\n"
    "RETVAL=0\n"
    "\n"
    "start() {\n"
    "\tif ! status -p $PIDFILE $SVC_NAME >&/dev/null; then\n"
    "\t\techo -n Starting $SVC_NAME\n"
    "\t\tdaemon --pidfile $PIDFILE $SVC_BIN \"& echo \\$! >$PIDFILE; sleep 1; kill -0 \\$! 2>/dev/null\"\n"
    "\t\tRETVAL=$?\n"
    "\telse\n"
    "\t\techo -n $SVC_NAME already running\n"
    "\tfi\n"
    "\techo\n"
    "}\n"
    "\n"
    "stop() {\n"
    "\techo -n Stopping $SVC_NAME\n"
    "\tif status -p $PIDFILE $SVC_NAME >&/dev/null; then\n"
    "\t\tkillproc -p $PIDFILE $SVC_NAME -TERM >/dev/null\n"
    "\t\tend=$((SECONDS + 30))\n"
    "\t\twhile status -p $PIDFILE $SVC_NAME >&/dev/null && [ $SECONDS -lt $end ]; do\n"
    "\t\t\tsleep 0.1\n"
    "\t\tdone\n"
    "\t\tif status -p $PIDFILE $SVC_NAME >&/dev/null; then\n"
    "\t\t\tkillproc -p $PIDFILE $SVC_NAME -KILL >/dev/null\n"
    "\t\t\techo -n \" did not stop within 30 s and was killed with SIGKILL\"\n"
    "\t\t\tRETVAL=1\n"
    "\t\tfi\n"
    "\tfi\n"
    "\trm -f $PIDFILE\n"
    "\techo\n"
    "}\n"
    "\n"
    "reload() {\n"
    "\techo -n Reloading $SVC_NAME\n"
    "\tif status -p $PIDFILE $SVC_NAME >&/dev/null; then\n"
    "\t\tkillproc -p $PIDFILE $SVC_NAME -USR1\n"
    "\t\tRETVAL=$?\n"
    "\telse\n"
    "\t\techo -n \" not running\"\n"
    "\t\tRETVAL=7\n"
    "\tfi\n"
    "\techo\n"
    "}\n"
    "\n"
    "case \"$1\" in\n"
    "\tstart)\n"
    "\t\tstart\n"
    "\t\t;;\n"
    "\tstop)\n"
    "\t\tstop\n"
    "\t\t;;\n"
    "\tstatus)\n"
    "\t\tstatus -p $PIDFILE $SVC_NAME\n"
    "\t\tRETVAL=$?\n"
    "\t\t;;\n"
    "\trestart|condrestart)\n"
    "\t\tstop\n"
    "\t\tstart\n"
    "\t\t;;\n"
    "\treload|force-reload)\n"
    "\t\treload\n"
    "\t\t;;\n"
    "\t*)\n"
    "\t\techo $\"Usage: $0 {start|stop|restart|reload|force-reload|status}\"\n"
    "\t\texit 1\n"
    "esac\n"
    "exit $RETVAL\n";

// startproc backgrounds the program itself, and with -t fails (7) when the
// program is gone a second later. The family's tools find the service by its
// program's path (/proc/PID/exe), never by a process name; stop and reload
// go the same way as on the Red Hat family.
const char kSuSETemplate[] = "#!/bin/bash\n" SERVICEAPP_SCRIPT_MARKER
                             "#\n"
                             "### BEGIN INIT INFO \n"
                             "# Provides:             %s\n"
                             "# Required-Start:       $null\n"
                             "# Should-Start:         $null\n"
                             "# Required-Stop:        $null\n"
                             "# Should-Stop:          $null\n"
                             "# Default-Start:        3 5\n"
                             "# Default-Stop:         0 1 2 6\n"
                             "# Short-Description:    \n"
                             "# Description:          \n"
                             "### END INIT INFO \n"
                             "#\n"
                             "\n"
                             "\n"
                             ". /etc/rc.status\n"
                             "\n"
                             "SVC_BIN=%s\n"
                             "SVC_NAME=%s\n"
                             "\n"
                             "# Reset status of this service\n"
                             "rc_reset\n"
                             "\n"
                             "start() {\n"
                             "\tif ! checkproc $SVC_BIN; then\n"
                             "\t\techo -n Starting $SVC_NAME\n"
                             "\t\tstartproc -t 1 $SVC_BIN \n"
                             "\t\trc_status -v\n"
                             "\telse\n"
                             "\t\techo -n $SVC_NAME already running\n"
                             "\tfi\n"
                             "}\n"
                             "\n"
                             "stop() {\n"
                             "\techo -n Stopping $SVC_NAME\n"
                             "\tif checkproc $SVC_BIN; then\n"
                             "\t\tkillproc -t 30 -TERM $SVC_BIN\n"
                             "\t\tend=$((SECONDS + 30))\n"
                             "\t\twhile checkproc $SVC_BIN && [ $SECONDS -lt $end ]; do\n"
                             "\t\t\tsleep 0.1\n"
                             "\t\tdone\n"
                             "\t\tif checkproc $SVC_BIN; then\n"
                             "\t\t\tkillproc -KILL $SVC_BIN\n"
                             "\t\t\techo -n \" did not stop within 30 s and was killed with SIGKILL\"\n"
                             "\t\t\trc_failed 1\n"
                             "\t\tfi\n"
                             "\tfi\n"
                             "\trc_status -v\n"
                             "}\n"
                             "\n"
                             "reload() {\n"
                             "\techo -n Reloading $SVC_NAME\n"
                             "\tcheckproc $SVC_BIN && killproc -USR1 $SVC_BIN || rc_failed 7\n"
                             "\trc_status -v\n"
                             "}\n"
                             "\n"
                             "case \"$1\" in\n"
                             "\tstart)\n"
                             "\t\tstart\n"
                             "\t\t;;\n"
                             "\tstop)\n"
                             "\t\tstop\n"
                             "\t\t;;\n"
                             "\tstatus)\n"
                             "\t\techo -n Checking $SVC_NAME\n"
                             "\t\tcheckproc $SVC_BIN\n"
                             "\t\trc_status -v\n"
                             "\t\t;;\n"
                             "\trestart|condrestart)\n"
                             "\t\tstop\n"
                             "\t\tstart\n"
                             "\t\t;;\n"
                             "\treload|force-reload)\n"
                             "\t\treload\n"
                             "\t\t;;\n"
                             "\t*)\n"
                             "\t\techo $\"Usage: $0 {start|stop|restart|reload|force-reload|status}\"\n"
                             "\t\texit 1\n"
                             "esac\n"
                             "rc_exit\n";

// The library never detaches, so start-stop-daemon gets --background: without
// it start would run the service in the foreground and never return; it
// writes the pid file itself (-m), the service's pid, since the service forks
// no further. --notify-await keeps start until the lifecycle's READY=1, so a
// service whose Initialize fails makes start fail (at once with ERRNO=, else
// at the 60 s notify time-out). Stop waits (--retry) for the process to end,
// up to the platform class's 30 s of de-initialization, before the pid file
// goes: restart would otherwise start a second copy beside one still
// stopping; a process still there then gets SIGKILL and the stop fails.
// reload signals the pid in the pid file only: a process name is cut to 15
// bytes and need not be the service's.
const char kDebianTemplate[] =
    "#!/bin/sh\n" SERVICEAPP_SCRIPT_MARKER
    "# bin/sh is used instead of /bin/bash, because lsb has issues with bash\n"
    "### BEGIN INIT INFO\n"
    "# Provides:          %s\n"
    "# Required-Start:    $null\n"
    "# Required-Stop:     $null\n"
    "# Default-Start:     3 2 5\n"
    "# Default-Stop:      0 1 6\n"
    "# Short-Description: \n"
    "# Description:       \n"
    "### END INIT INFO\n"
    "\n"
    "# Using the lsb functions to perform the operations.\n"
    ". /lib/lsb/init-functions\n"
    "# Process name ( For display )\n"
    "DAEMON=%s\n"
    "NAME=%s\n"
    "# Daemon name, where is the actual executable\n"
    "# pid file for the daemon\n"
    "PIDFILE=/var/run/%s.pid\n"
    "\n"
    "# If the daemon is not there, then exit.\n"
    "test -x $DAEMON || exit 5\n"
    "\n"
    "case $1 in\n"
    " start)\n"
    "  # Checked the PID file exists and check the actual status of process\n"
    "  if [ -e $PIDFILE ]; then\n"
    "   status_of_proc -p $PIDFILE $DAEMON \"$NAME process\" && status=\"0\" || status=\"$?\"\n"
    "   # If the status is SUCCESS then don't need to start again.\n"
    "   if [ $status = \"0\" ]; then\n"
    "    exit # Exit\n"
    "   fi\n"
    "  fi\n"
    "  # Start the daemon.\n"
    "  log_daemon_msg \"Starting the process\" \"$NAME\"\n"
    "  # Start the daemon with the help of start-stop-daemon\n"
    "  # Log the message appropriately\n"
    "  if start-stop-daemon --start --quiet --oknodo --background --notify-await --pidfile $PIDFILE --exec $DAEMON -m ; then\n"
    "   log_end_msg 0\n"
    "  else\n"
    "   log_end_msg 1\n"
    "  fi\n"
    "  ;;\n"
    " stop)\n"
    "  # Stop the daemon.\n"
    "  if [ -e $PIDFILE ]; then\n"
    "   status_of_proc -p $PIDFILE $DAEMON \"Stoppping the $NAME process\" && status=\"0\" || status=\"$?\"\n"
    "   if [ \"$status\" = 0 ]; then\n"
    "    if start-stop-daemon --stop --quiet --oknodo --retry TERM/30 --pidfile $PIDFILE; then\n"
    "     /bin/rm -rf $PIDFILE\n"
    "    else\n"
    "     start-stop-daemon --stop --quiet --oknodo --retry KILL/5 --pidfile $PIDFILE\n"
    "     /bin/rm -rf $PIDFILE\n"
    "     log_failure_msg \"$NAME process did not stop within 30 s and was killed with SIGKILL\"\n"
    "     exit 1\n"
    "    fi\n"
    "   fi\n"
    "  else\n"
    "   log_daemon_msg \"$NAME process is not running\"\n"
    "   log_end_msg 0\n"
    "  fi\n"
    "  ;;\n"
    " restart)\n"
    "  # Restart the daemon.\n"
    "  $0 stop && sleep 2 && $0 start\n"
    "  ;;\n"
    " status)\n"
    "  # Check the status of the process.\n"
    "  if [ -e $PIDFILE ]; then\n"
    "   status_of_proc -p $PIDFILE $DAEMON \"$NAME process\" && exit 0 || exit $?\n"
    "  else\n"
    "   log_daemon_msg \"$NAME Process is not running\"\n"
    "   log_end_msg 0\n"
    "   exit 3\n"
    "  fi\n"
    "  ;;\n"
    " reload|force-reload)\n"
    "  # Reload the process. Basically sending some signal to a daemon to reload\n"
    "  # it configurations.\n"
    "  if [ ! -e $PIDFILE ]; then\n"
    "   log_failure_msg \"$PIDFILE does not exist\"\n"
    "   exit 7\n"
    "  elif start-stop-daemon --stop --signal USR1 --quiet --pidfile $PIDFILE; then\n"
    "   log_success_msg \"$NAME process reloaded successfully\"\n"
    "  else\n"
    "   log_failure_msg \"$NAME process is not running\"\n"
    "   exit 7\n"
    "  fi\n"
    "  ;;\n"
    " *)\n"
    "  # For invalid arguments, print the usage message.\n"
    "  echo \"Usage: $0 {start|stop|restart|reload|force-reload|status}\"\n"
    "  exit 2\n"
    "  ;;\n"
    "esac\n";

}  // namespace

const char* InitScriptTemplate(eLinuxDistribution distribution)
{
    switch (distribution) {
    case eDistRedHat:
    case eDistCentOS:
    case eDistOracle: return kRedHatTemplate;
    case eDistSuSE: return kSuSETemplate;
    case eDistUbuntu:
    case eDistDebian: return kDebianTemplate;
    default: return nullptr;
    }
}

int FormatScriptMarker(const char* name, char* out, size_t size)
{
    int n = snprintf(out, size, SERVICEAPP_SCRIPT_MARKER, name);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
}

int FillInitScript(eLinuxDistribution distribution, const char* name, const char* programPath, char* out,
                   size_t size)
{
    const char* text = InitScriptTemplate(distribution);
    if (text == nullptr || name == nullptr || programPath == nullptr || out == nullptr || size == 0) {
        return -1;
    }
    // Plain substitution rather than printf, so that a % in a name or path is
    // written as it stands.
    size_t used = 0;
    int placeholder = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        const char* piece = p;
        size_t length = 1;
        if (p[0] == '%' && p[1] == 's') {
            piece = placeholder++ == 2 ? programPath : name;
            length = strlen(piece);
            ++p;
        }
        if (length >= size - used) {
            return -1;
        }
        memcpy(out + used, piece, length);
        used += length;
    }
    out[used] = '\0';
    return static_cast<int>(used);
}

}  // namespace serviceapp
