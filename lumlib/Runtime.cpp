// The stand-in's environment: configuration through variables and its runtime directory.
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

int OpenRuntimeDir(bool create)
{
    const char* dir = RuntimeDir();
    if (create) {
        char path[PATH_MAX];
        size_t length = strlen(dir);
        if (length >= sizeof(path)) {
            return -1;
        }
        memcpy(path, dir, length + 1);
        // Create each missing level in turn; whether one already exists does
        // not matter, the final open below tells whether the whole path works.
        for (size_t i = 1; i <= length; ++i) {
            if (path[i] == '/' || path[i] == '\0') {
                char saved = path[i];
                path[i] = '\0';
                (void)mkdir(path, 0755);
                path[i] = saved;
            }
        }
    }
    return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace lumlib
