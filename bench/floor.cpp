// The durable floor for install and uninstall: the same files, links and syncs as -install/-uninstall, with no checks and no output.
// SPDX-License-Identifier: MIT
//
//   floor install NAME SCRIPT UNIT   writes /etc/init.d/NAME and its unit from the texts in SCRIPT
//                                    and UNIT (each to a temporary name, synced, renamed), the
//                                    seven Debian run-level links and the wants link, then syncs
//                                    the ten directories it changed
//   floor uninstall NAME             removes all of them and syncs the same directories
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kLetters[] = "KKSKKSK";  // Debian, levels 0 to 6

// The text of path, read whole into buffer.
ssize_t Load(const char* path, char* buffer, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd < 0 ? -1 : read(fd, buffer, size);
    close(fd);
    return n;
}

// A file written to a temporary name beside path, synced by the caller.
int Stage(const char* dir, const char* name, const char* text, size_t length, mode_t mode, char* temporary)
{
    snprintf(temporary, 1024, "%s/.%s.XXXXXX", dir, name);
    int fd = mkostemp(temporary, O_CLOEXEC);
    (void)!write(fd, text, length);
    fchmod(fd, mode);
    return fd;
}

void SyncDir(const char* dir)
{
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    fsync(fd);
    close(fd);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        return 2;
    }
    const char* name = argv[2];
    bool install = strcmp(argv[1], "install") == 0;
    char script[1024], unit[1024], wants[1024], link[1024];
    snprintf(script, sizeof(script), "/etc/init.d/%s", name);
    snprintf(unit, sizeof(unit), "/etc/systemd/system/%s.service", name);
    snprintf(wants, sizeof(wants), "/etc/systemd/system/multi-user.target.wants/%s.service", name);
    if (install && argc == 5) {
        static char scriptText[8192], unitText[8192];
        char scriptTemp[1024], unitTemp[1024];
        ssize_t scriptLength = Load(argv[3], scriptText, sizeof(scriptText));
        ssize_t unitLength = Load(argv[4], unitText, sizeof(unitText));
        int fds[] = {Stage("/etc/init.d", name, scriptText, scriptLength, 0755, scriptTemp),
                     Stage("/etc/systemd/system", name, unitText, unitLength, 0644, unitTemp)};
        for (int fd : fds) {
            fsync(fd);
            close(fd);
        }
        rename(scriptTemp, script);
        for (int level = 0; level <= 6; ++level) {
            snprintf(link, sizeof(link), "/etc/rc%d.d/%c55%s", level, kLetters[level], name);
            symlink(script, link);
        }
        rename(unitTemp, unit);
        symlink(unit, wants);
    } else {
        for (int level = 0; level <= 6; ++level) {
            snprintf(link, sizeof(link), "/etc/rc%d.d/%c55%s", level, kLetters[level], name);
            unlink(link);
        }
        unlink(script);
        unlink(wants);
        unlink(unit);
    }
    SyncDir("/etc/init.d");
    for (int level = 0; level <= 6; ++level) {
        snprintf(link, sizeof(link), "/etc/rc%d.d", level);
        SyncDir(link);
    }
    SyncDir("/etc/systemd/system");
    SyncDir("/etc/systemd/system/multi-user.target.wants");
    return 0;
}
