// Helpers shared by the tests: running code in a child process and capturing its output.
#ifndef SERVICEAPP_TESTS_TESTSUPPORT_H
#define SERVICEAPP_TESTS_TESTSUPPORT_H

#include <functional>
#include <string>

namespace testsupport {

struct ChildResult {
    bool exited = false;    // exited normally (else killed by a signal)
    int exitCode = -1;      // exit status when exited
    int signal = 0;         // terminating signal when killed
    std::string out;        // everything the child wrote to standard output
    std::string err;        // everything the child wrote to standard error
};

// Runs body in a forked child with its standard output and error captured
// through pipes; the child exits with body's result (its low 8 bits). An
// alarm turns a hang into a SIGALRM death after timeoutSeconds.
ChildResult RunInChild(const std::function<int()>& body, unsigned timeoutSeconds = 120);

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

// A child left running in the background: its pid and the read end of a pipe
// on which its body reports progress. A child still running when the object
// goes is killed, so that a failed assertion leaves nothing behind.
struct BackgroundChild {
    int pid = -1;
    int events = -1;
    BackgroundChild() = default;
    BackgroundChild(BackgroundChild&& other) noexcept;
    BackgroundChild& operator=(BackgroundChild&&) = delete;
    ~BackgroundChild();
    // Sends signal and waits for the child; its wait status, or -1.
    int Stop(int signal);
};

// Forks a child that runs body(eventFd) and exits with its result (low 8
// bits); standard output and error are inherited. An alarm ends it after
// timeoutSeconds. The parent reads the body's reports with ReadByte.
BackgroundChild StartInBackground(const std::function<int(int eventFd)>& body, unsigned timeoutSeconds = 120);

// The next byte on fd, waiting at most timeoutSeconds; -1 on time-out, end of
// file or error.
int ReadByte(int fd, unsigned timeoutSeconds = 60);

}  // namespace testsupport

#endif
