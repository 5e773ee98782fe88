// The init scripts this library wrote before its scripts carried a marker line, to recognise them as its own.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_LEGACYSCRIPTS_H
#define SERVICEAPP_UNIX_LEGACYSCRIPTS_H

#include <cstddef>

namespace serviceapp {

// Whether text (length bytes) is exactly one of the library's earlier
// templates filled with name and the program path found in the text itself.
bool IsLegacyScript(const char* text, size_t length, const char* name);

}  // namespace serviceapp

#endif
