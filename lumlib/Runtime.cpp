// The stand-in's environment: configuration through variables and its runtime directory.
// SPDX-License-Identifier: MIT
#include "Runtime.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace lumlib {

const char* EnvOr(const char* name, const char* fallback)
{
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

const char* RuntimeDir()
{
    return EnvOr("LUM_RUNTIME_DIR", "/run/lum");
}

void MakeDirectories(const char* path, size_t length)
{
    char copy[PATH_MAX];
    if (length >= sizeof(copy)) {
        return;
    }
    memcpy(copy, path, length);
    copy[length] = '\0';
    // Create each missing level in turn; whether one already exists does not
    // matter, the caller's own open tells whether the whole path works.
    for (size_t i = 1; i <= length; ++i) {
        if (copy[i] == '/' || copy[i] == '\0') {
            char saved = copy[i];
            copy[i] = '\0';
            (void)mkdir(copy, 0755);
            copy[i] = saved;
        }
    }
}

int OpenRuntimeDir(bool create)
{
    const char* dir = RuntimeDir();
    if (create) {
        MakeDirectories(dir, strlen(dir));
    }
    return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace lumlib
