// serviceapp::Log: messages with a syslog priority to the console, the journal (prefixed lines on standard error) or syslog.
// SPDX-License-Identifier: MIT
#include "unix/Log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ServiceRuntime.h"

namespace serviceapp {

namespace {

enum Sink : int { kConsole, kJournal, kSyslog };

// Set by the lifecycle's start on its thread; read by every caller.
std::atomic<int> g_sink{kConsole};
// syslog(3) keeps the pointer openlog was given, so the name lives here.
char g_identifier[256];

constexpr size_t kMessageSize = 1024;
// Every line of a message gains "<N>" and may need its own newline.
constexpr size_t kJournalSize = kMessageSize * 4 + 8;

// Whether $JOURNAL_STREAM ("DEVICE:INODE", decimal) is standard error: the
// manager sets it for the stream it connected, and a standard error
// redirected since (or inherited from a parent's unit) no longer matches.
bool StderrIsJournal()
{
    const char* stream = getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    const char* end = stream + strlen(stream);
    unsigned long long device = 0;
    unsigned long long inode = 0;
    auto [colon, deviceError] = std::from_chars(stream, end, device);
    if (deviceError != std::errc() || colon == end || *colon != ':') {
        return false;
    }
    auto [last, inodeError] = std::from_chars(colon + 1, end, inode);
    struct stat err = {};
    return inodeError == std::errc() && last == end && fstat(STDERR_FILENO, &err) == 0 &&
           static_cast<unsigned long long>(err.st_dev) == device &&
           static_cast<unsigned long long>(err.st_ino) == inode;
}

// One write of every line of text, each prefixed "<level>", so the journal
// gives each its priority. A final newline makes no empty entry.
void WriteJournal(int level, const char* text)
{
    char out[kJournalSize];
    size_t n = 0;
    for (const char* line = text;;) {
        const char* end = strchr(line, '\n');
        size_t length = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
        if (end == nullptr && length == 0 && line != text) {
            break;
        }
        out[n++] = '<';
        out[n++] = static_cast<char>('0' + level);
        out[n++] = '>';
        std::copy(line, line + length, out + n);  // a line, not a string: no NUL follows
        n += length;
        out[n++] = '\n';
        if (end == nullptr) {
            break;
        }
        line = end + 1;
    }
    for (size_t done = 0; done < n;) {
        ssize_t written = write(STDERR_FILENO, out + done, n - done);
        if (written < 0 && errno == EINTR) {
            continue;  // a stop signal (no SA_RESTART) cut the write short
        }
        if (written <= 0) {
            return;  // the journal is gone: nowhere left to say so
        }
        done += static_cast<size_t>(written);
    }
}

}  // namespace

void BeginServiceLog(const char* identifier)
{
    if (StderrIsJournal()) {
        g_sink.store(kJournal);
        return;
    }
    size_t n = strnlen(identifier, sizeof(g_identifier) - 1);
    memcpy(g_identifier, identifier, n);
    g_identifier[n] = '\0';
    openlog(g_identifier, LOG_PID, LOG_DAEMON);  // connects at the first message
    g_sink.store(kSyslog);
}

void EndServiceLog()
{
    if (g_sink.exchange(kConsole) == kSyslog) {
        closelog();  // syslog(3) takes its own lock against a message in flight
    }
}

void Log(int priority, const char* format, ...)
{
    int savedErrno = errno;  // a caller may log and then look at errno
    int level = priority & LOG_PRIMASK;
    int sink = g_sink.load();
    va_list args;
    va_start(args, format);
    if (sink == kSyslog) {
        // syslog(3) formats it itself, once, into its own record.
        vsyslog(LOG_DAEMON | level, format, args);
        va_end(args);
        errno = savedErrno;
        return;
    }
    char text[kMessageSize];
    int n = vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n < 0) {
        snprintf(text, sizeof(text), "%s", "FAILED TO FORMAT MESSAGE");
    }
    if (sink == kJournal) {
        WriteJournal(level, text);
    } else {
        // Best effort, like every console line of the library.
        (void)fprintf(level <= LOG_WARNING ? stderr : stdout, "%s\n", text);
    }
    errno = savedErrno;
}

}  // namespace serviceapp
