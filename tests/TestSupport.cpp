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

ChildResult RunInChild(const std::function<int()>& body, unsigned timeoutSeconds)
{
    ChildResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        return result;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        return result;
    }
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        alarm(timeoutSeconds);
        int rc = body();
        fflush(stdout);
        fflush(stderr);
        _exit(rc & 0xff);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[4096];
                ssize_t n = read(fds[i].fd, buf, sizeof(buf));
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exited = WIFEXITED(status);
    result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
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
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/serviceapp-test-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) {
        path = pattern;
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;  // best effort: a test's leftovers must not fail it
    std::filesystem::remove_all(path, ignored);
}

BackgroundChild StartInBackground(const std::function<int(int)>& body, unsigned timeoutSeconds)
{
    BackgroundChild child;
    int events[2];
    if (pipe2(events, O_CLOEXEC) != 0) {
        return child;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(events[0]);
        alarm(timeoutSeconds);
        int rc = body(events[1]);
        fflush(stdout);
        fflush(stderr);
        _exit(rc & 0xff);
    }
    close(events[1]);
    if (pid < 0) {
        close(events[0]);
        return child;
    }
    child.pid = pid;
    child.events = events[0];
    return child;
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

BackgroundChild::BackgroundChild(BackgroundChild&& other) noexcept : pid(other.pid), events(other.events)
{
    other.pid = -1;
    other.events = -1;
}

BackgroundChild::~BackgroundChild()
{
    (void)Stop(SIGKILL);
    if (events >= 0) {
        close(events);
    }
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

}  // namespace testsupport
