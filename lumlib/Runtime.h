// Internal to the platform stand-in: where its files live and how entries reach the debug log.
// SPDX-License-Identifier: MIT
#ifndef LUMLIB_RUNTIME_H
#define LUMLIB_RUNTIME_H

#include <cstdarg>
#include <cstddef>

namespace lumlib {

// The value of environment variable name, or fallback when it is unset or empty.
const char* EnvOr(const char* name, const char* fallback);

// LUM_RUNTIME_DIR, or /run/lum.
const char* RuntimeDir();

// Creates each missing directory of the first length bytes of path, mode 0755.
// Failures are not reported: the caller's open of what it needs tells.
void MakeDirectories(const char* path, size_t length);

// Opens the runtime directory for use with openat, creating it and any missing
// parents first when create is set. -1 when it cannot be had.
int OpenRuntimeDir(bool create);

// Appends one entry with level "DEBUG" or "ERROR" to the debug log. Never
// fails the caller and leaves errno as it was.
void WriteLogEntry(const char* level, const char* format, va_list args);
void WriteLogEntryF(const char* level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace lumlib

#endif
