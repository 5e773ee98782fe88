// The init scripts this library wrote before its scripts carried a marker line, to recognise them as its own.
// SPDX-License-Identifier: MIT
#include "unix/LegacyScripts.h"

#include <cstring>

namespace serviceapp {

namespace {

// The three templates as they were, byte for byte. Only compared against,
// never written: each %s is the name, the program path, then the name again.
const char kRedHatLegacy[] =
    "#!/bin/bash\n"
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
    "RETVAL=0\n"
    "\n"
    "start() {\n"
    "\tif ! status $SVC_NAME >&/dev/null; then\n"
    "\t\techo -n Starting $SVC_NAME\n"
    "\t\tdaemon $SVC_BIN \"&\"\n"
    "\t\tRETVAL=$?\n"
    "\telse\n"
    "\t\techo -n $SVC_NAME already running\n"
    "\tfi\n"
    "\techo\n"
    "}\n"
    "\n"
    "stop() {\n"
    "\techo -n Stopping $SVC_NAME\n"
    "\tkillproc $SVC_NAME\n"
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
    "\t\tstatus $SVC_NAME\n"
    "\t\tRETVAL=$?\n"
    "\t\t;;\n"
    "\trestart|reload|condrestart)\n"
    "\t\tstop\n"
    "\t\tstart\n"
    "\t\t;;\n"
    "\t*)\n"
    "\t\techo $\"Usage: $0 {start|stop|restart|reload|status}\"\n"
    "\t\texit 1\n"
    "esac\n"
    "exit $RETVAL\n";

const char kSuSELegacy[] =
    "#!/bin/bash\n"
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
    "\tif ! status $SVC_NAME >&/dev/null; then\n"
    "\t\techo -n Starting $SVC_NAME\n"
    "\t\tstartproc $SVC_BIN \n"
    "\t\trc_status -v\n"
    "\telse\n"
    "\t\techo -n $SVC_NAME already running\n"
    "\tfi\n"
    "}\n"
    "\n"
    "stop() {\n"
    "\techo -n Stopping $SVC_NAME\n"
    "\tkillproc $SVC_NAME\n"
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
    "\t\tcheckproc $SVC_NAME\n"
    "\t\trc_status -v\n"
    "\t\t;;\n"
    "\trestart|reload|condrestart)\n"
    "\t\tstop\n"
    "\t\tstart\n"
    "\t\t;;\n"
    "\t*)\n"
    "\t\techo $\"Usage: $0 {start|stop|restart|reload|status}\"\n"
    "\t\texit 1\n"
    "esac\n"
    "rc_exit\n";

const char kDebianLegacy[] =
    "#!/bin/sh\n"
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
    "  if start-stop-daemon --start --quiet --oknodo --background --pidfile $PIDFILE --exec $DAEMON -m ; then\n"
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
    "    start-stop-daemon --stop --quiet --oknodo --retry TERM/30/KILL/5 --pidfile $PIDFILE\n"
    "    /bin/rm -rf $PIDFILE\n"
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
    "  fi\n"
    "  ;;\n"
    " reload)\n"
    "  # Reload the process. Basically sending some signal to a daemon to reload\n"
    "  # it configurations.\n"
    "  if [ -e $PIDFILE ]; then\n"
    "   start-stop-daemon --stop --signal USR1 --quiet --pidfile $PIDFILE --name $NAME\n"
    "   log_success_msg \"$NAME process reloaded successfully\"\n"
    "  else\n"
    "   log_failure_msg \"$PIDFILE does not exist\"\n"
    "  fi\n"
    "  ;;\n"
    " *)\n"
    "  # For invalid arguments, print the usage message.\n"
    "  echo \"Usage: $0 {start|stop|restart|reload|status}\"\n"
    "  exit 2\n"
    "  ;;\n"
    "esac\n";

const char* const kLegacyTemplates[] = {kRedHatLegacy, kSuSELegacy, kDebianLegacy};

// The value of the line "\nKEY=VALUE\n" in text (not NUL-terminated), or null.
const char* FindAssignment(const char* text, size_t length, const char* key, size_t& valueLength)
{
    size_t keyLength = strlen(key);
    for (size_t i = 0; i + keyLength < length; ++i) {
        if (text[i] == '\n' && memcmp(text + i + 1, key, keyLength) == 0) {
            const char* value = text + i + 1 + keyLength;
            const char* end = static_cast<const char*>(memchr(value, '\n', length - (i + 1 + keyLength)));
            if (end == nullptr) {
                return nullptr;
            }
            valueLength = static_cast<size_t>(end - value);
            return value;
        }
    }
    return nullptr;
}

// Whether text is tmpl filled with name and path (pathLength bytes), compared
// piece by piece as the old install filled it.
bool MatchesFilled(const char* tmpl, const char* name, const char* path, size_t pathLength, const char* text,
                   size_t length)
{
    size_t used = 0;
    size_t nameLength = strlen(name);
    int placeholder = 0;
    for (const char* p = tmpl; *p != '\0'; ++p) {
        const char* piece = p;
        size_t pieceLength = 1;
        if (p[0] == '%' && p[1] == 's') {
            bool isPath = placeholder++ == 1;
            piece = isPath ? path : name;
            pieceLength = isPath ? pathLength : nameLength;
            ++p;
        }
        if (pieceLength > length - used || memcmp(text + used, piece, pieceLength) != 0) {
            return false;
        }
        used += pieceLength;
    }
    return used == length;
}

}  // namespace

bool IsLegacyScript(const char* text, size_t length, const char* name)
{
    size_t pathLength = 0;
    const char* path = FindAssignment(text, length, "DAEMON=", pathLength);
    if (path == nullptr) {
        path = FindAssignment(text, length, "SVC_BIN=", pathLength);
    }
    if (path == nullptr) {
        return false;
    }
    for (const char* tmpl : kLegacyTemplates) {
        if (MatchesFilled(tmpl, name, path, pathLength, text, length)) {
            return true;
        }
    }
    return false;
}

}  // namespace serviceapp
