// heartbeat: a small daemon on CServiceApp that writes a timestamped line every few seconds.
// SPDX-License-Identifier: MIT
//
//   heartbeat                  run as a service, appending to the log file
//   heartbeat -console         run in the console, printing to standard output
//   heartbeat -install         install /etc/init.d/heartbeat and its run-level links (as root)
//   heartbeat -sandbox -install  the same, the systemd unit with the sandbox profile
//   options: -beats N (stop after N beats), -interval SECONDS, -log PATH
//
// The log file is -log PATH, else $HEARTBEAT_LOG, else heartbeat.log in
// $LOGS_DIRECTORY (the sandboxed unit's /var/log/heartbeat), else
// /var/log/heartbeat.log. A reload (systemctl reload, SIGHUP) reopens it, for
// log rotation.
#include <ServiceApp.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

class Heartbeat : public CServiceApp {
public:
    // Our own options, each followed by its value: -beats N, -interval S, -log PATH.
    bool ParseCommandLineArgument(char* argument, int /*index*/) override
    {
        if (m_pending == nullptr && strcmp(argument, "-sandbox") == 0) {
            SetSandboxProfile(true);
            return true;
        }
        if (m_pending == nullptr) {
            m_pending = strcmp(argument, "-beats") == 0      ? "beats"
                        : strcmp(argument, "-interval") == 0 ? "interval"
                        : strcmp(argument, "-log") == 0      ? "log"
                                                             : nullptr;
            return m_pending != nullptr;
        }
        const char* option = m_pending;
        m_pending = nullptr;
        if (strcmp(option, "log") == 0) {
            m_logPath = argument;
            return true;
        }
        char* end = nullptr;
        long value = strtol(argument, &end, 10);
        if (*argument == '\0' || *end != '\0' || value < 1 || value > 86400) {
            return false;  // not a number we take: the library shows the usage, Main returns -3
        }
        (strcmp(option, "beats") == 0 ? m_beats : m_interval) = value;
        return true;
    }

    bool ParseCommandLine(int argc, char** argv) override
    {
        bool ok = CServiceApp::ParseCommandLine(argc, argv);
        if (ok && m_pending != nullptr) {
            DisplayUsage();  // an option without its value: refused like a bad one
            return false;    // Main: -3
        }
        return ok;
    }

    bool DisplayUsage() override
    {
        printf(
            "usage: heartbeat [-console] [-beats N] [-interval SECONDS] [-log PATH]\n"
            "       heartbeat [-sandbox] -install | -uninstall | -help\n"
            "Without -log the log file is $HEARTBEAT_LOG, else %s.\n",
            kDefaultLog);
        return true;
    }

    bool Initialize() override
    {
        if (IsConsoleMode()) {
            m_fd = STDOUT_FILENO;
            return true;
        }
        m_fd = OpenLog();
        return m_fd >= 0;
    }

    // The reload handler: reopens the log (a rotated one is then left
    // alone); on failure keeps writing to the old one.
    static bool Reload(CUnixServiceApp& service)
    {
        Heartbeat& self = static_cast<Heartbeat&>(service);
        int fd = self.m_fd != STDOUT_FILENO ? self.OpenLog() : -1;
        if (fd >= 0) {
            close(self.m_fd);
            self.m_fd = fd;
            self.Write("reopened the log");
        }
        return fd >= 0;
    }

    void Run() override
    {
        // WaitForStop ends at once on a stop (SIGTERM, SIGINT, StopSelf from
        // any thread), so the loop needs no signal masks of its own, and any
        // process started from here inherits the mask the service runs with.
        for (long beat = 1; !CheckQuitFlag(); ++beat) {
            char text[32];
            snprintf(text, sizeof(text), "beat %ld", beat);
            Write(text);
            NotifyWatchdog();  // under a service manager's watchdog: one ping per beat
            if (beat == m_beats) {
                StopSelf();
                break;
            }
            if (WaitForStop(static_cast<unsigned int>(m_interval) * 1000)) {
                break;
            }
        }
    }

    void Deinitialize() override
    {
        if (m_fd >= 0) {
            Write("stopped");
            if (m_fd != STDOUT_FILENO) {
                close(m_fd);
            }
            m_fd = -1;
        }
    }

private:
    static constexpr const char* kDefaultLog = "/var/log/heartbeat.log";

    int OpenLog()
    {
        const char* path = m_logPath != nullptr ? m_logPath : getenv("HEARTBEAT_LOG");
        const char* logs = getenv("LOGS_DIRECTORY");
        char inLogs[1024];
        if ((path == nullptr || *path == '\0') && logs != nullptr && *logs == '/') {
            snprintf(inLogs, sizeof(inLogs), "%s/heartbeat.log", logs);
            path = inLogs;
        }
        path = path != nullptr && *path != '\0' ? path : kDefaultLog;
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            fprintf(stderr, "heartbeat: cannot open %s: %s\n", path, strerror(errno));
        }
        return fd;
    }

    // One whole line per write, so lines from several runs never interleave.
    void Write(const char* text)
    {
        char stamp[32];
        time_t now = time(nullptr);
        struct tm utc;
        strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
        char line[128];
        int length =
            snprintf(line, sizeof(line), "%s heartbeat[%d] %s\n", stamp, static_cast<int>(getpid()), text);
        (void)!write(m_fd, line, static_cast<size_t>(length));  // a full disk must not stop the beat
    }

    const char* m_pending = nullptr;  // our option whose value comes next
    const char* m_logPath = nullptr;
    long m_beats = 0;     // 0: beat until stopped
    long m_interval = 3;  // seconds between beats
    int m_fd = -1;
};

int main(int argc, char** argv)
{
    static Heartbeat app;
    app.SetServiceName("heartbeat");
    app.SetReloadHandler(Heartbeat::Reload);
    return app.Main(argc, argv) == 0 ? 0 : 1;  // a log that cannot be opened fails Initialize: -5
}
