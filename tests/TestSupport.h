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

}  // namespace testsupport

#endif
