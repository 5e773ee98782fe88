// Installation configuration: an INI file of [Section] headers and key=value lines.
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LumPlatform.h"
#include "Runtime.h"

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Trims white space on both sides, in place.
char* Trim(char* text, char* end)
{
    while (text < end && IsSpace(*text)) {
        ++text;
    }
    while (end > text && IsSpace(end[-1])) {
        --end;
    }
    *end = '\0';
    return text;
}

// Opens path for reading if it is a regular file. Opened without blocking and
// looked at before reading: a FIFO in the configuration's place would
// otherwise hold the caller until some writer appeared, and a device or a
// directory is no configuration either.
FILE* OpenConfig(const char* path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    FILE* file = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        file = fdopen(fd, "r");
    }
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

}  // namespace

LUMPlatformInfo::LUMPlatformInfo() = default;
LUMPlatformInfo::~LUMPlatformInfo() = default;

// Whole-line comments only: ';' and '#' may well appear inside values such as
// paths. Names match exactly, case included. Keys before the first header
// belong to the section "". A malformed header ends the current section, so
// the keys under it are not mistaken for the previous section's. When a key
// appears more than once, the last one wins.
int LUMPlatformInfo::getString(const char* section, const char* key, std::string* value)
{
    if (section == nullptr || key == nullptr) {
        return 0;
    }
    FILE* file = OpenConfig(lumlib::EnvOr("LUM_CONFIG", "/etc/lum/lum.conf"));
    if (file == nullptr) {
        return 0;
    }
    char* line = nullptr;
    size_t capacity = 0;
    char* found = nullptr;
    bool inSection = *section == '\0';
    bool first = true;
    bool failed = false;
    ssize_t length;
    while (!failed && (length = getline(&line, &capacity, file)) >= 0) {
        char* text = line;
        if (first && length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
            text += 3;  // a byte order mark left by an editor
        }
        first = false;
        text = Trim(text, line + length);
        if (*text == '\0' || *text == '#' || *text == ';') {
            continue;
        }
        size_t size = strlen(text);
        if (*text == '[') {
            inSection =
                size >= 2 && text[size - 1] == ']' && strcmp(Trim(text + 1, text + size - 1), section) == 0;
            continue;
        }
        char* equals = strchr(text, '=');
        if (!inSection || equals == nullptr || strcmp(Trim(text, equals), key) != 0) {
            continue;
        }
        free(found);
        found = strdup(Trim(equals + 1, text + size));
        failed = found == nullptr;
    }
    free(line);
    fclose(file);
    int result = 0;
    if (found != nullptr) {
        result = 1;
        if (value != nullptr) {
            try {
                value->assign(found);
            } catch (...) {
                result = 0;  // out of memory: reported as not found, never thrown
            }
        }
        free(found);
    }
    return result;
}
