// Debug log: one line per entry, appended to a file opened for each entry.
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "LumPlatform.h"
#include "Runtime.h"

namespace lumlib {

namespace {

// A symbolic link in the log's place is refused: the log may be written by
// root, and a link planted there would make it append to any file.
int OpenLog()
{
    constexpr int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;
    const char* path = EnvOr("LUM_DEBUG_LOG", nullptr);
    if (path != nullptr) {
        int fd = open(path, flags, 0644);
        const char* slash = strrchr(path, '/');
        if (fd < 0 && errno == ENOENT && slash != nullptr && slash != path) {
            // A log in a directory of its own, not made yet: the first
            // entries come before anything else would make it.
            MakeDirectories(path, static_cast<size_t>(slash - path));
            fd = open(path, flags, 0644);
        }
        return fd;
    }
    int dir = OpenRuntimeDir(true);
    if (dir < 0) {
        return -1;
    }
    int fd = openat(dir, "debug.log", flags, 0644);
    close(dir);
    return fd;
}

// Control characters would split an entry over several lines, or let a
// message forge entries of its own; they are written as \xNN.
bool NeedsEscape(unsigned char c)
{
    return (c < 0x20 && c != '\t') || c == 0x7f;
}

}  // namespace

void WriteLogEntry(const char* level, const char* format, va_list args)
{
    int savedErrno = errno;
    char* message = nullptr;
    va_list copy;
    va_copy(copy, args);
    int length = vasprintf(&message, format, copy);
    va_end(copy);
    if (length < 0) {
        errno = savedErrno;
        return;  // nothing sensible to write
    }

    // "2026-01-31T23:59:59.123Z 4711 DEBUG message"
    struct timespec now = {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc = {};
    (void)gmtime_r(&now.tv_sec, &utc);
    char head[96];
    size_t at = strftime(head, sizeof(head), "%Y-%m-%dT%H:%M:%S", &utc);
    at += static_cast<size_t>(snprintf(head + at, sizeof(head) - at, ".%03ldZ %ld %s ", now.tv_nsec / 1000000,
                                       static_cast<long>(getpid()), level));

    char* line = static_cast<char*>(malloc(at + 4 * static_cast<size_t>(length) + 2));
    if (line != nullptr) {
        size_t n = static_cast<size_t>(snprintf(line, at + 1, "%s", head));
        for (int i = 0; i < length; ++i) {
            unsigned char c = static_cast<unsigned char>(message[i]);
            if (NeedsEscape(c)) {
                n += static_cast<size_t>(snprintf(line + n, 5, "\\x%02x", c));
            } else {
                line[n++] = static_cast<char>(c);
            }
        }
        line[n++] = '\n';
        int fd = OpenLog();
        if (fd >= 0) {
            // One write, so that entries of concurrent writers do not interleave.
            // A failed or short write is dropped: logging never fails the caller.
            ssize_t written = write(fd, line, n);
            (void)written;
            close(fd);
        }
        free(line);
    }
    free(message);
    errno = savedErrno;
}

void WriteLogEntryF(const char* level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLogEntry(level, format, args);
    va_end(args);
}

}  // namespace lumlib

// The stand-in has a single log; every file instance writes to it.
EvDebug::EvDebug(EvDebugFileInstance* file) : m_file(file) {}

void EvDebug::debug(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    lumlib::WriteLogEntry("DEBUG", format, args);
    va_end(args);
}

void EvDebug::error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    lumlib::WriteLogEntry("ERROR", format, args);
    va_end(args);
}
