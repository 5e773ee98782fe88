// The file steps install and uninstall share: whole-file writes, link checks and directory syncs.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_INSTALLFILES_H
#define SERVICEAPP_UNIX_INSTALLFILES_H

#include <cstddef>

namespace serviceapp {

constexpr size_t kPathSize = 1024;

// A file written in full beside the path it is meant for, not yet in place.
struct StagedFile {
    int fd = -1;
    int error = 0;        // errno of the first failure; 0 while all went well
    bool synced = false;  // its data is on the disk
    char temporary[kPathSize] = "";
};

enum class StageResult { kStaged, kNotCreated, kNotWritten };

// Writes text into a new hidden file ".NAME.XXXXXX" of dir (init tools and
// systemd skip dot files; mkostemp makes it unique, never follows a link and
// sets close-on-exec) and gives it mode. On failure the temporary file is
// gone and file.error says why.
StageResult StageFile(const char* dir, const char* name, const char* text, size_t length, unsigned mode,
                      StagedFile& file);

// Syncs the data of the staged files (those still without an error)
// together, so that they cost one journal commit rather than one each.
void SyncStaged(StagedFile* const* files, size_t count);

// Renames the staged file over path, once its data is synced (here, if
// SyncStaged did not): path then holds the old file or the new one, never a
// part; a symlink there is replaced, never followed. On failure the
// temporary file is removed and file.error says why. The name is durable
// only once the directory is synced.
bool CommitFile(StagedFile& file, const char* path);

// Removes a staged file that is not wanted after all.
void DiscardFile(StagedFile& file);

// The directories whose entries changed, synced together once every change
// is made, so that all of them cost about one journal commit.
class DirectorySyncs {
public:
    // Records the directory that holds path.
    void Add(const char* path);
    // Syncs the recorded directories together and forgets them; a failure
    // prints "Failed to sync [DIR]: REASON" (in the order recorded) and the
    // others are synced all the same.
    bool SyncAll();

private:
    static constexpr size_t kMaxDirs = 12;
    static constexpr size_t kDirSize = 64;
    char m_dirs[kMaxDirs][kDirSize] = {};
    size_t m_count = 0;
};

// Whether the symbolic link at link leads to a file named name in the
// directory whose real path is realDir. The directory part of the link's
// target (a relative one taken from the link's own directory, an absolute
// one under root) is resolved through the file system, so "../init.d/NAME"
// written through a linked /etc/rc.d, or an absolute target through a
// linked /etc/init.d, compare as what they are. The file itself need not
// exist.
bool LinkLeadsTo(const char* link, const char* realDir, const char* name, const char* root = "");

}  // namespace serviceapp

#endif
