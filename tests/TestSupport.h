// Helpers shared by the tests: running code in a child process and capturing its output.
#ifndef SERVICEAPP_TESTS_TESTSUPPORT_H
#define SERVICEAPP_TESTS_TESTSUPPORT_H

#include <sys/types.h>

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
    bool exited = false;    // exited normally (else killed by a signal)
    int exitCode = -1;      // exit status when exited
    int signal = 0;         // terminating signal when killed
    std::string out;        // everything the child wrote to standard output
    std::string err;        // everything the child wrote to standard error
    std::string events;     // every byte the child reported with ReportEvent, in order
};

// Runs body in a forked child with its standard output and error captured
// through pipes; the child exits with body's result (its low 8 bits). An
// alarm turns a hang into a SIGALRM death after timeoutSeconds. The child
// starts with SIGTERM and SIGINT at their default actions and unblocked, as a
// freshly started daemon would, whatever the test runner left them at.
ChildResult RunInChild(const std::function<int()>& body, unsigned timeoutSeconds = 120);

// A child started in the background: the parent waits for the events it
// reports, signals it, and collects it with Finish.
struct Child {
    pid_t pid = -1;
    int events = -1;   // read end of the event pipe
    int out = -1;      // read ends of standard output and error
    int err = -1;
    std::string seen;  // events read so far
};

// Starts body as RunInChild does, but returns at once.
Child StartChild(const std::function<int()>& body, unsigned timeoutSeconds = 120);
// Reads events until one equal to event has arrived (true), or until
// timeoutMs have passed or the child closed its end (false).
bool WaitForEvent(Child& child, char event, int timeoutMs = 60000);
// Collects output, the remaining events and the exit status.
ChildResult Finish(Child& child);
// In a child: reports one event byte to the parent. Async-signal-safe; does
// nothing outside a child of StartChild or RunInChild.
void ReportEvent(char event);

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace testsupport

#endif
