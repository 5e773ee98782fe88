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

void CloseAll(std::initializer_list<int> fds)
{
    for (int fd : fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

// Forks. The child (result 0) gets its start state, with its standard output
// and error redirected into pipes when capture; the parent gets the pid (or
// -1) and the read ends in child.
pid_t Fork(BackgroundChild& child, bool capture, unsigned timeoutSeconds)
{
    int events[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe2(events, O_CLOEXEC) != 0 ||
        (capture && (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0))) {
        CloseAll({events[0], events[1], out[0], out[1], err[0], err[1]});
        return -1;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        if (capture) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
        }
        CloseAll({events[0], out[0], out[1], err[0], err[1]});
        g_eventFd = events[1];
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        alarm(timeoutSeconds);
        return 0;
    }
    CloseAll({events[1], out[1], err[1]});
    if (pid < 0) {
        CloseAll({events[0], out[0], err[0]});
        return -1;
    }
    child.pid = pid;
    child.events = events[0];
    child.out = out[0];
    child.err = err[0];
    return pid;
}

[[noreturn]] void ExitChild(int rc)
{
    fflush(stdout);
    fflush(stderr);
    _exit(rc & 0xff);
}

// Appends what is readable on fd to sink; closes fd and sets it to -1 at
// the end of the stream.
void ReadSome(int& fd, std::string& sink)
{
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n > 0) {
        sink.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

BackgroundChild StartInBackground(const std::function<int(int)>& body, unsigned timeoutSeconds)
{
    BackgroundChild child;
    if (Fork(child, false, timeoutSeconds) == 0) {
        ExitChild(body(g_eventFd));
    }
    return child;
}

BackgroundChild StartChild(const std::function<int()>& body, unsigned timeoutSeconds)
{
    BackgroundChild child;
    if (Fork(child, true, timeoutSeconds) == 0) {
        ExitChild(body());
    }
    return child;
}

bool WaitForEvent(BackgroundChild& child, char event, unsigned timeoutSeconds)
{
    for (int byte; child.seen.find(event) == std::string::npos;) {
        if ((byte = ReadByte(child.events, timeoutSeconds)) < 0) {
            return false;
        }
        child.seen += static_cast<char>(byte);
    }
    return true;
}

ChildResult Finish(BackgroundChild& child)
{
    ChildResult result;
    if (child.pid < 0) {
        return result;
    }
    // The child's alarm bounds how long its ends of the pipes stay open.
    int* fds[3] = {&child.out, &child.err, &child.events};
    std::string* sinks[3] = {&result.out, &result.err, &child.seen};
    for (;;) {
        struct pollfd pfds[3];
        int which[3];
        nfds_t count = 0;
        for (int i = 0; i < 3; ++i) {
            if (*fds[i] >= 0) {
                pfds[count] = {*fds[i], POLLIN, 0};
                which[count++] = i;
            }
        }
        if (count == 0 || (poll(pfds, count, -1) < 0 && errno != EINTR)) {
            break;
        }
        for (nfds_t k = 0; k < count; ++k) {
            if (pfds[k].revents & (POLLIN | POLLHUP | POLLERR)) {
                ReadSome(*fds[which[k]], *sinks[which[k]]);
            }
        }
    }
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    child.pid = -1;
    result.exited = WIFEXITED(status);
    result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.events = child.seen;
    return result;
}

ChildResult RunInChild(const std::function<int()>& body, unsigned timeoutSeconds)
{
    BackgroundChild child = StartChild(body, timeoutSeconds);
    return Finish(child);
}

void ReportEvent(char event)
{
    if (g_eventFd >= 0) {
        int saved = errno;
        (void)!write(g_eventFd, &event, 1);
        errno = saved;
    }
}

int ReadByte(int fd, unsigned timeoutSeconds)
{
    struct pollfd p = {fd, POLLIN, 0};
    int ready;
    while ((ready = poll(&p, 1, static_cast<int>(timeoutSeconds) * 1000)) < 0 && errno == EINTR) {
    }
    unsigned char byte = 0;
    ssize_t n = -1;
    while (ready > 0 && (n = read(fd, &byte, 1)) < 0 && errno == EINTR) {
    }
    return ready > 0 && n == 1 ? byte : -1;
}

BackgroundChild::BackgroundChild(BackgroundChild&& other) noexcept
    : pid(other.pid), events(other.events), out(other.out), err(other.err), seen(std::move(other.seen))
{
    other.pid = -1;
    other.events = -1;
    other.out = -1;
    other.err = -1;
}

BackgroundChild::~BackgroundChild()
{
    (void)Stop(SIGKILL);
    CloseAll({events, out, err});
}

int BackgroundChild::Stop(int signal)
{
    if (pid <= 0) {
        return -1;
    }
    (void)kill(pid, signal);
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    pid = -1;
    return r > 0 ? status : -1;
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
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/serviceapp-test-XXXXXX";
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
