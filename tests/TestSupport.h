// Helpers shared by the tests: running code in a child process and capturing its output.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_TESTS_TESTSUPPORT_H
#define SERVICEAPP_TESTS_TESTSUPPORT_H

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Owns argv strings for a call of Main or ParseCommandLine.
struct Argv {
    std::vector<std::string> storage;
    std::vector<char*> pointers;
    explicit Argv(std::vector<std::string> args) : storage(std::move(args))
    {
        for (auto& s : storage) {
            pointers.push_back(&s[0]);
        }
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage.size()); }
    char** argv() { return pointers.data(); }
};

struct ChildResult {
    bool exited = false;  // exited normally (else killed by a signal)
    int exitCode = -1;    // exit status when exited
    int signal = 0;       // terminating signal when killed
    std::string out;      // everything the child wrote to standard output
    std::string err;      // everything the child wrote to standard error
    std::string events;   // every byte the child reported with ReportEvent, in order
};

// A forked child running body() with its standard output and error captured
// (also what processes it starts write there while it runs).
// It starts with SIGTERM and SIGINT at their default actions and unblocked,
// as a freshly started daemon would, whatever the test runner left them at,
// and an alarm ends it after timeoutSeconds, so a hang becomes a SIGALRM
// death. It exits with body's result (low 8 bits). A child still running when
// the object goes is killed, so a failed assertion leaves nothing behind.
class Child {
public:
    explicit Child(const std::function<int()>& body, unsigned timeoutSeconds = 120);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // The next event byte, waiting at most timeoutSeconds; -1 on time-out or
    // when the child (and every process it forked) closed its end.
    int Next(unsigned timeoutSeconds = 60);
    // Reads events until one equal to event has arrived (true), or until Next fails.
    bool WaitFor(char event, unsigned timeoutSeconds = 60);
    // Waits for the child to end: its output, all its events and how it ended.
    ChildResult Finish();
    // Sends signal (none when 0) and waits for the child; its wait status, or -1.
    int Stop(int signal);
    int pid = -1;
    std::string seen;  // events read so far

private:
    int m_out = -1;  // memory files holding standard output and error
    int m_err = -1;
    int m_events = -1;  // read end of the event pipe
};

// Child, then Finish.
ChildResult RunInChild(const std::function<int()>& body, unsigned timeoutSeconds = 120);

// In a child: reports one event byte to the parent. Async-signal-safe, keeps errno.
void ReportEvent(char event);
// In a child: the write end of the event pipe (close-on-exec).
int EventFd();

// Microseconds on the monotonic clock.
long long NowUs();

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes a whole file; false when it cannot be written.
bool WriteFile(const std::string& path, const std::string& content);

// A fresh directory under $TMPDIR (or /tmp), removed with its content when
// the object goes. path is empty when it could not be made.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

}  // namespace testsupport

#endif
