// Declarations of the platform library (libLumLib) operations this library calls.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_LUMPLATFORM_H
#define SERVICEAPP_LUMPLATFORM_H

#include <string>

#define LUMLIB_API __attribute__((visibility("default")))

extern "C" {
// Non-zero when a live process holds the registration of service name.
LUMLIB_API int uxsvc_isrunning(const char* name);
// Registers the calling process as the running service name until it exits.
// Non-zero on success, zero when another process holds the name or the
// registry cannot be written.
LUMLIB_API int uxsvc_checkin(const char* name);
}

// A log file of the platform; null stands for the process's default log.
class EvDebugFileInstance;

// Writes debug and error entries to a platform log.
class LUMLIB_API EvDebug {
public:
    explicit EvDebug(EvDebugFileInstance* file);
    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    EvDebugFileInstance* m_file;
};

// The platform instance this process works on, and whether it is a server.
class LUMLIB_API LUMPI_Focus {
public:
    LUMPI_Focus();
    ~LUMPI_Focus();
    static void setFocus(const char* instance);
    static int IsAServer;
    static inline void markAsService() { IsAServer = 1; }
};

// Reads the installation's configuration.
class LUMLIB_API LUMPlatformInfo {
public:
    LUMPlatformInfo();
    ~LUMPlatformInfo();
    // Non-zero when section/key exists; *value then holds its value.
    int getString(const char* section, const char* key, std::string* value);
};

#endif
