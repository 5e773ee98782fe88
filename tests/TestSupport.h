// Helpers shared by the tests: running code in a child process and capturing its output.
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

// A child left running in the background: its pid, the read end of a pipe on
// which it reports progress and, when started by StartChild, the read ends of
// its captured output. A child still running when the object goes is killed,
// so that a failed assertion leaves nothing behind.
struct BackgroundChild {
    int pid = -1;
    int events = -1;
    int out = -1;  // captured standard output and error, or -1
    int err = -1;
    std::string seen;  // events read so far by WaitForEvent
    BackgroundChild() = default;
    BackgroundChild(BackgroundChild&& other) noexcept;
    BackgroundChild& operator=(BackgroundChild&&) = delete;
    ~BackgroundChild();
    // Sends signal and waits for the child; its wait status, or -1.
    int Stop(int signal);
};

// Every child below starts with SIGTERM and SIGINT at their default actions
// and unblocked, as a freshly started daemon would, whatever the test runner
// left them at, and an alarm ends it after timeoutSeconds, so a hang becomes
// a SIGALRM death. It exits with its body's result (low 8 bits).

// Forks a child that runs body(eventFd); standard output and error are
// inherited. The parent reads the body's reports with ReadByte.
BackgroundChild StartInBackground(const std::function<int(int eventFd)>& body, unsigned timeoutSeconds = 120);

// Forks a child that runs body() with its standard output and error captured;
// it reports progress with ReportEvent. Collect it with Finish.
BackgroundChild StartChild(const std::function<int()>& body, unsigned timeoutSeconds = 120);

// Reads events into child.seen until one equal to event has arrived (true),
// or until none came for timeoutSeconds or the child closed its end (false).
bool WaitForEvent(BackgroundChild& child, char event, unsigned timeoutSeconds = 60);

// Waits for a child of StartChild to end: its output, all its events and how it ended.
ChildResult Finish(BackgroundChild& child);

// StartChild, then Finish.
ChildResult RunInChild(const std::function<int()>& body, unsigned timeoutSeconds = 120);

// In a child of the functions above: reports one event byte to the parent.
// Async-signal-safe, and keeps errno.
void ReportEvent(char event);

// The next byte on fd, waiting at most timeoutSeconds; -1 on time-out, end of
// file or error.
int ReadByte(int fd, unsigned timeoutSeconds = 60);

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
