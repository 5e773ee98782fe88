// Helpers shared by the tests: running code in a child process and capturing its output.
// SPDX-License-Identifier: MIT
#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

int g_eventFd = -1;  // write end of the event pipe, in a child

}  // namespace

Child::Child(const std::function<int()>& body, unsigned timeoutSeconds)
{
    // Output goes to memory files, read once the child has gone, so nothing
    // waits on a full pipe; events go through a pipe, to be waited on live.
    m_out = memfd_create("out", MFD_CLOEXEC);
    m_err = memfd_create("err", MFD_CLOEXEC);
    int events[2];
    if (m_out < 0 || m_err < 0 || pipe2(events, O_CLOEXEC) != 0) {
        return;
    }
    fflush(stdout);
    fflush(stderr);
    pid = fork();
    if (pid == 0) {
        dup2(m_out, STDOUT_FILENO);
        dup2(m_err, STDERR_FILENO);
        for (int fd : {m_out, m_err, events[0]}) {
            close(fd);
        }
        g_eventFd = events[1];
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        alarm(timeoutSeconds);
        int rc = body();
        fflush(stdout);
        fflush(stderr);
        _exit(rc & 0xff);
    }
    close(events[1]);
    m_events = pid > 0 ? events[0] : (close(events[0]), -1);
}

Child::~Child()
{
    (void)Stop(SIGKILL);
    for (int fd : {m_out, m_err, m_events}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

int Child::Next(unsigned timeoutSeconds)
{
    struct pollfd p = {m_events, POLLIN, 0};
    unsigned char byte = 0;
    if (poll(&p, 1, static_cast<int>(timeoutSeconds) * 1000) <= 0 || read(m_events, &byte, 1) != 1) {
        return -1;
    }
    seen += static_cast<char>(byte);
    return byte;
}

bool Child::WaitFor(char event, unsigned timeoutSeconds)
{
    while (seen.find(event) == std::string::npos) {
        if (Next(timeoutSeconds) < 0) {
            return false;
        }
    }
    return true;
}

ChildResult Child::Finish()
{
    ChildResult result;
    // Every event, up to the end the child's alarm bounds.
    while (pid > 0 && Next(24 * 3600) >= 0) {
    }
    int status = Stop(0);
    result.exited = status != -1 && WIFEXITED(status);
    result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = status != -1 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.events = seen;
    result.out = ReadFile("/proc/self/fd/" + std::to_string(m_out));  // from the start
    result.err = ReadFile("/proc/self/fd/" + std::to_string(m_err));
    return result;
}

int Child::Stop(int signal)
{
    if (pid <= 0) {
        return -1;
    }
    (void)kill(pid, signal);  // 0: just wait
    int status = 0;
    pid_t r = waitpid(pid, &status, 0);
    pid = -1;
    return r > 0 ? status : -1;
}

ChildResult RunInChild(const std::function<int()>& body, unsigned timeoutSeconds)
{
    return Child(body, timeoutSeconds).Finish();
}

void ReportEvent(char event)
{
    if (g_eventFd >= 0) {
        int saved = errno;
        (void)!write(g_eventFd, &event, 1);
        errno = saved;
    }
}

int EventFd()
{
    return g_eventFd;
}

long long NowUs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out.flush());
}

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/serviceapp-test-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) {
        path = pattern;
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;  // best effort: a test's leftovers must not fail it
    std::filesystem::remove_all(path, ignored);
}

}  // namespace testsupport
