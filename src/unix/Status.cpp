// serviceapp::SetStatus and ExtendTimeout: what the service does and how long it needs, told to the service manager.
// SPDX-License-Identifier: MIT
#include <cstdarg>
#include <cstdio>

#include "ServiceRuntime.h"
#include "unix/Notify.h"

namespace serviceapp {

namespace {
constexpr size_t kStatusText = 1000;  // the text, without "STATUS="
}  // namespace

bool SetStatus(const char* format, ...)
{
    char message[sizeof("STATUS=") - 1 + kStatusText + 1] = "STATUS=";
    char* text = message + sizeof("STATUS=") - 1;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, kStatusText + 1, format, args);
    va_end(args);
    if (n < 0) {
        return false;
    }
    // A line break would end the assignment and start another (READY=1...).
    for (char* p = text; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) {
            *p = ' ';
        }
    }
    return NotifyServiceManager(message);
}

bool ExtendTimeout(unsigned int milliseconds)
{
    char message[64];
    snprintf(message, sizeof(message), "EXTEND_TIMEOUT_USEC=%llu",
             static_cast<unsigned long long>(milliseconds) * 1000);
    return NotifyServiceManager(message);
}

}  // namespace serviceapp
