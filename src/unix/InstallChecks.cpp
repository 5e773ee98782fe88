// Install-time validation of the service name and of the program path written into the script.
// SPDX-License-Identifier: MIT
#include "unix/InstallChecks.h"

#include <cstring>

namespace serviceapp {

namespace {

// Leaves room for "S55"-style link prefixes (up to a full int) and the
// ".NAME.XXXXXXXX" temporary file within the 255-byte file-name limit.
constexpr size_t kMaxServiceNameLength = 240;

// A path this long may have been cut to fit the 1024-byte field.
constexpr size_t kMaxProgramPathLength = 1022;

bool IsAsciiAlnum(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

bool IsValidServiceName(const char* field, size_t fieldSize)
{
    if (field == nullptr) {
        return false;
    }
    size_t length = strnlen(field, fieldSize);
    if (length == 0 || length == fieldSize || length > kMaxServiceNameLength) {
        return false;
    }
    if (!IsAsciiAlnum(static_cast<unsigned char>(field[0]))) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (!IsAsciiAlnum(c) && strchr("._@+-", c) == nullptr) {
            return false;
        }
    }
    return true;
}

bool IsSafeProgramPath(const char* path)
{
    if (path == nullptr) {
        return false;
    }
    size_t length = strnlen(path, kMaxProgramPathLength + 1);
    if (length > kMaxProgramPathLength) {
        return false;
    }
    // The path lands unquoted in shell scripts: nothing the shell would split,
    // expand, substitute or treat as an operator or comment may pass.
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (c < 0x20 || c == 0x7f || strchr(" '\"$`\\;&|<>()*?[]~{}#", c) != nullptr) {
            return false;
        }
    }
    // The executable was replaced or removed after it started; the space
    // already refuses this, but the reason deserves saying.
    static const char kDeleted[] = " (deleted)";
    return !(length >= sizeof(kDeleted) - 1 &&
             memcmp(path + length - (sizeof(kDeleted) - 1), kDeleted, sizeof(kDeleted) - 1) == 0);
}

}  // namespace serviceapp
