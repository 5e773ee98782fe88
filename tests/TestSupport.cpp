// Helpers shared by the tests: running code in a child process and capturing its output.
#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

int g_eventFd = -1;  // write end of the event pipe, in a child

int Wait(pid_t pid)
{
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return r > 0 ? status : -1;
}

}  // namespace

Child::Child(const std::function<int()>& body, unsigned timeoutSeconds)
{
    int pipes[3][2];
    int made = 0;
    while (made < 3 && pipe2(pipes[made], O_CLOEXEC) == 0) {
        ++made;
    }
    fflush(stdout);
    fflush(stderr);
    pid = made == 3 ? fork() : -1;
    if (pid == 0) {
        dup2(pipes[0][1], STDOUT_FILENO);
        dup2(pipes[1][1], STDERR_FILENO);
        g_eventFd = pipes[2][1];
        for (int fd : {pipes[0][0], pipes[0][1], pipes[1][0], pipes[1][1], pipes[2][0]}) {
            close(fd);
        }
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
    for (int i = 0; i < made; ++i) {
        close(pipes[i][1]);
        m_fds[i] = pid > 0 ? pipes[i][0] : (close(pipes[i][0]), -1);
    }
}

Child::~Child()
{
    (void)Stop(SIGKILL);
    for (int fd : m_fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

int Child::Next(unsigned timeoutSeconds)
{
    struct pollfd p = {m_fds[2], POLLIN, 0};
    int ready;
    while ((ready = poll(&p, 1, static_cast<int>(timeoutSeconds) * 1000)) < 0 && errno == EINTR) {
    }
    unsigned char byte = 0;
    ssize_t n = -1;
    while (ready > 0 && (n = read(m_fds[2], &byte, 1)) < 0 && errno == EINTR) {
    }
    if (ready <= 0 || n != 1) {
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
    std::string* sinks[3] = {&result.out, &result.err, &seen};
    // The child's alarm bounds how long its ends of the pipes stay open.
    for (bool open = pid > 0; open;) {
        struct pollfd pfds[3];
        for (int i = 0; i < 3; ++i) {
            pfds[i] = {m_fds[i], POLLIN, 0};  // a negative fd is skipped
        }
        if (poll(pfds, 3, -1) < 0 && errno != EINTR) {
            break;
        }
        open = false;
        for (int i = 0; i < 3; ++i) {
            char buf[4096];
            ssize_t n = pfds[i].revents != 0 ? read(m_fds[i], buf, sizeof(buf)) : -1;
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (pfds[i].revents != 0 && (n == 0 || errno != EINTR)) {
                close(m_fds[i]);
                m_fds[i] = -1;
            }
            open = open || m_fds[i] >= 0;
        }
    }
    int status = pid > 0 ? Wait(pid) : -1;
    pid = -1;
    result.exited = status != -1 && WIFEXITED(status);
    result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = status != -1 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.events = seen;
    return result;
}

int Child::Stop(int signal)
{
    if (pid <= 0) {
        return -1;
    }
    (void)kill(pid, signal);
    int status = Wait(pid);
    pid = -1;
    return status;
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
