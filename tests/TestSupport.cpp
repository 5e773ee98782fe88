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
#include <ctime>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

int g_eventFd = -1;  // write end of the event pipe, in a child

long long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
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

Child StartChild(const std::function<int()>& body, unsigned timeoutSeconds)
{
    Child child;
    int outPipe[2];
    int errPipe[2];
    int eventPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 ||
        pipe2(eventPipe, O_CLOEXEC) != 0) {
        return child;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        return child;
    }
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        close(eventPipe[0]);
        g_eventFd = eventPipe[1];
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
    close(outPipe[1]);
    close(errPipe[1]);
    close(eventPipe[1]);
    child.pid = pid;
    child.out = outPipe[0];
    child.err = errPipe[0];
    child.events = eventPipe[0];
    return child;
}

bool WaitForEvent(Child& child, char event, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    size_t from = 0;
    for (;;) {
        if (child.seen.find(event, from) != std::string::npos) {
            return true;
        }
        from = child.seen.size();
        long long left = deadline - NowMs();
        if (child.events < 0 || left <= 0) {
            return false;
        }
        struct pollfd fd = {child.events, POLLIN, 0};
        int n = poll(&fd, 1, static_cast<int>(left));
        if (n > 0) {
            ReadSome(child.events, child.seen);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
}

ChildResult Finish(Child& child)
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
        int count = 0;
        int which[3];
        for (int i = 0; i < 3; ++i) {
            if (*fds[i] >= 0) {
                pfds[count] = {*fds[i], POLLIN, 0};
                which[count++] = i;
            }
        }
        if (count == 0) {
            break;
        }
        if (poll(pfds, static_cast<nfds_t>(count), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int k = 0; k < count; ++k) {
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
    Child child = StartChild(body, timeoutSeconds);
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

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace testsupport
