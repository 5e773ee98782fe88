// Service registry: one lock file per service name in the runtime directory.
// SPDX-License-Identifier: MIT
//
// A registration is an open file description holding an OFD write lock
// (F_OFD_SETLK) on the name's file. The kernel drops it when the process ends,
// however it ends, so nothing stale is left to clean up; the files themselves
// stay and mean nothing without the lock. OFD locks rather than flock or
// classic fcntl locks because:
//  - F_OFD_GETLK tests for a holder without taking the lock, so a running
//    test never makes a concurrent check-in fail (flock can only test by
//    trying to take it);
//  - they belong to the open file description, not the process, so a process
//    testing its own registration sees it held, and closing another
//    descriptor of the same file does not drop it (classic fcntl locks fail
//    on both counts).
// Being tied to the file description, the lock would also be shared by
// children made with fork. The registration belongs to the process that
// checked in, so children close their copies right after fork, and the
// descriptors are close-on-exec for programs started with exec.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "LumPlatform.h"
#include "Runtime.h"

namespace {

// A file name: at most NAME_MAX bytes and its terminator.
constexpr size_t kFileNameSize = 256;
constexpr char kPrefix[] = "svc-";
constexpr char kSuffix[] = ".lock";
constexpr size_t kHashDigits = 16;

bool KeptAsIs(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

// Maps any name to a file name inside the registry: letters, digits, '.', '_'
// and '-' stand for themselves and every other byte becomes %XX, between a
// fixed prefix and suffix, so the result is never "", "." or ".." and holds
// no '/'. A name whose encoding would not fit keeps the start of it and adds
// '~' (never produced by the encoding itself) and a 64-bit hash of the whole
// name. Such long names are told apart by the hash alone; service names are
// chosen by developers, not adversaries, so that is enough here.
void EncodeName(const char* name, char (&file)[kFileNameSize])
{
    const size_t room = kFileNameSize - 1 - (sizeof(kPrefix) - 1) - (sizeof(kSuffix) - 1);
    size_t encoded = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        encoded += KeptAsIs(static_cast<unsigned char>(*p)) ? 1 : 3;
    }
    const size_t keep = encoded <= room ? room : room - 1 - kHashDigits;
    size_t at = 0;
    auto put = [&file, &at](const char* text) {
        size_t n = strlen(text);
        memcpy(file + at, text, n);
        at += n;
    };
    put(kPrefix);
    const size_t start = at;
    for (const char* p = name; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        size_t need = KeptAsIs(c) ? 1 : 3;
        if (at - start + need > keep) {
            break;
        }
        if (need == 1) {
            file[at++] = static_cast<char>(c);
        } else {
            snprintf(file + at, 4, "%%%02X", c);
            at += 3;
        }
    }
    if (encoded > room) {
        uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (const char* p = name; *p != '\0'; ++p) {
            hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
        }
        char tail[2 + kHashDigits];
        snprintf(tail, sizeof(tail), "~%016llx", static_cast<unsigned long long>(hash));
        put(tail);
    }
    put(kSuffix);
    file[at] = '\0';
}

// The registrations this process holds, by file name. Entries are never
// freed; a closed one (fd -1) is reused.
struct Held {
    Held* next;
    int fd;
    char file[kFileNameSize];
};
Held* g_held = nullptr;
pthread_mutex_t g_heldLock = PTHREAD_MUTEX_INITIALIZER;

void LockHeld()
{
    pthread_mutex_lock(&g_heldLock);
}

void UnlockHeld()
{
    pthread_mutex_unlock(&g_heldLock);
}

// In a child made with fork: let go of the parent's registrations. Only
// close, which is safe in a child of a threaded parent.
void ForgetHeldInChild()
{
    for (Held* h = g_held; h != nullptr; h = h->next) {
        if (h->fd >= 0) {
            close(h->fd);
            h->fd = -1;
        }
    }
    UnlockHeld();
}

bool IsHeld(const char* file)
{
    for (Held* h = g_held; h != nullptr; h = h->next) {
        if (h->fd >= 0 && strcmp(h->file, file) == 0) {
            return true;
        }
    }
    return false;
}

void Remember(const char* file, int fd)
{
    Held* slot = nullptr;
    for (Held* h = g_held; h != nullptr && slot == nullptr; h = h->next) {
        slot = h->fd < 0 ? h : nullptr;
    }
    if (slot == nullptr) {
        slot = new (std::nothrow) Held;
        if (slot == nullptr) {
            // The lock stays held through the open descriptor all the same;
            // only a repeated check-in by this process will not recognise it.
            return;
        }
        slot->next = g_held;
        g_held = slot;
    }
    slot->fd = fd;
    snprintf(slot->file, sizeof(slot->file), "%s", file);
}

int TakeLock(int dir, const char* file)
{
    int fd = openat(dir, file, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file
    // Only a plain file of the caller's own, under this one name, is a
    // registration: anything else found in the registry (a device, a FIFO,
    // another user's file, a hard link to a file elsewhere) is left as it
    // is, neither locked nor truncated.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 ||
        fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        close(fd);
        return -1;
    }
    // The holder's pid, for whoever looks at the registry by hand; the lock,
    // not the content, is what counts, so a failure here changes nothing.
    char pid[24];
    int n = snprintf(pid, sizeof(pid), "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) == 0 && pwrite(fd, pid, static_cast<size_t>(n), 0) != n) {
        // Nothing to do: the registration holds without its note.
    }
    return fd;
}

}  // namespace

extern "C" int uxsvc_checkin(const char* name)
{
    if (name == nullptr) {
        return 0;
    }
    static const int forkHandlers = pthread_atfork(LockHeld, UnlockHeld, ForgetHeldInChild);
    (void)forkHandlers;  // without them a child would share the registration; nothing else changes
    char file[kFileNameSize];
    EncodeName(name, file);
    LockHeld();
    int ok = IsHeld(file) ? 1 : 0;
    if (!ok) {
        int dir = lumlib::OpenRuntimeDir(true);
        int fd = dir >= 0 ? TakeLock(dir, file) : -1;
        if (dir >= 0) {
            close(dir);
        }
        if (fd >= 0) {
            Remember(file, fd);
            ok = 1;
        }
    }
    UnlockHeld();
    return ok;
}

extern "C" int uxsvc_isrunning(const char* name)
{
    if (name == nullptr) {
        return 0;
    }
    char file[kFileNameSize];
    EncodeName(name, file);
    int dir = lumlib::OpenRuntimeDir(false);
    if (dir < 0) {
        return 0;
    }
    int fd = openat(dir, file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    close(dir);
    if (fd < 0) {
        return 0;
    }
    // Any lock on the file, this process's own included, since this is a
    // separate open file description.
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    int held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    close(fd);
    return held;
}
