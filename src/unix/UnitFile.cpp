// The systemd unit install writes beside the init script, and its enabling link.
// SPDX-License-Identifier: MIT
#include "unix/UnitFile.h"

#include <cstdio>
#include <cstring>

namespace serviceapp {

namespace {

// The marker tells our unit from one the administrator wrote: install
// rewrites and uninstall removes only a unit whose first line is this
// (stamped with a checksum, see FillStampedUnit).
const char kMarkerFormat[] =
    "# Written by serviceapp for %s: -uninstall removes it; put local changes in a drop-in\n";

// Like the script: root, no restart policy, no arguments, no watchdog (an
// administrator adds WatchdogSec= with a drop-in).
const char kUnitHead[] = "[Unit]\nDescription=";
const char kUnitMiddle[] = "\n\n[Service]\nType=notify\nNotifyAccess=main\nExecStart=";
const char kUnitTail[] = "\n\n[Install]\nWantedBy=multi-user.target\n";

// Appends text (length bytes) to out at used; false when it would not fit
// with a terminating NUL.
bool Append(char* out, size_t size, size_t& used, const char* text, size_t length)
{
    if (length >= size - used) {
        return false;
    }
    memcpy(out + used, text, length);
    used += length;
    return true;
}

// " (checksum HHHHHHHHHHHHHHHH)": FNV-1a, 64 bits, of all after the marker line.
const char kStampFormat[] = " (checksum %016llx)";
constexpr size_t kStampLength = 28;

unsigned long long Checksum(const char* text, size_t length)
{
    unsigned long long hash = 14695981039346656037ULL;
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<unsigned char>(text[i])) * 1099511628211ULL;
    }
    return hash;
}

}  // namespace

bool IsUnitName(const char* name)
{
    size_t length = strlen(name);
    return strchr(name, '+') == nullptr && length > 0 && name[length - 1] != '@';
}

int FormatUnitMarker(const char* name, char* out, size_t size)
{
    int n = snprintf(out, size, kMarkerFormat, name);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
}

int FillUnitFile(const char* name, const char* programPath, char* out, size_t size)
{
    if (name == nullptr || programPath == nullptr || out == nullptr) {
        return -1;
    }
    int marker = FormatUnitMarker(name, out, size);
    if (marker < 0) {
        return -1;
    }
    size_t used = static_cast<size_t>(marker);
    bool fits = Append(out, size, used, kUnitHead, sizeof(kUnitHead) - 1) &&
                Append(out, size, used, name, strlen(name)) &&
                Append(out, size, used, kUnitMiddle, sizeof(kUnitMiddle) - 1);
    for (const char* p = programPath; fits && *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        char escaped[5];
        if (c == '%') {
            fits = Append(out, size, used, "%%", 2);
        } else if (c >= 0x80) {
            // systemd ignores a line that is not valid UTF-8; its C escapes
            // give back any byte.
            (void)snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            fits = Append(out, size, used, escaped, 4);
        } else {
            fits = Append(out, size, used, p, 1);
        }
    }
    if (!fits || !Append(out, size, used, kUnitTail, sizeof(kUnitTail) - 1)) {
        return -1;
    }
    out[used] = '\0';
    return static_cast<int>(used);
}

int FillStampedUnit(const char* name, const char* programPath, char* out, size_t size)
{
    int length = FillUnitFile(name, programPath, out, size);
    const char* newline =
        length < 0 ? nullptr : static_cast<const char*>(memchr(out, '\n', static_cast<size_t>(length)));
    if (newline == nullptr || static_cast<size_t>(length) + kStampLength >= size) {
        return -1;
    }
    int marker = static_cast<int>(newline - out) + 1;
    // The stamp goes before the marker's newline.
    char* at = out + marker - 1;
    memmove(at + kStampLength, at, static_cast<size_t>(length - marker) + 2);
    const char* body = out + marker + kStampLength;
    (void)snprintf(at, kStampLength + 1, kStampFormat, Checksum(body, static_cast<size_t>(length - marker)));
    at[kStampLength] = '\n';
    return length + static_cast<int>(kStampLength);
}

UnitOwner ClassifyUnitText(const char* name, const char* text, size_t length)
{
    char marker[512];  // a 240-byte name and the text around it
    int markerLength = FormatUnitMarker(name, marker, sizeof(marker));
    size_t prefix = markerLength < 0 ? 0 : static_cast<size_t>(markerLength) - 1;  // without the newline
    if (markerLength < 0 || length < prefix + 1 || memcmp(text, marker, prefix) != 0) {
        return UnitOwner::kForeign;
    }
    if (text[prefix] == '\n') {
        return UnitOwner::kOurs;  // written before the stamp
    }
    char stamp[kStampLength + 1];
    size_t bodyAt = prefix + kStampLength + 1;
    if (length < bodyAt || text[bodyAt - 1] != '\n') {
        return UnitOwner::kForeign;
    }
    (void)snprintf(stamp, sizeof(stamp), kStampFormat, Checksum(text + bodyAt, length - bodyAt));
    return memcmp(text + prefix, stamp, kStampLength) == 0 ? UnitOwner::kOurs : UnitOwner::kModified;
}

}  // namespace serviceapp
