// Stand-in for the platform library: registry, configuration, focus and debug log.
#include "LumPlatform.h"

int LUMPI_Focus::IsAServer = 0;

extern "C" int uxsvc_isrunning(const char*)
{
    return 0;
}

extern "C" int uxsvc_checkin(const char*)
{
    return 0;
}

EvDebug::EvDebug(EvDebugFileInstance* file) : m_file(file) {}
void EvDebug::debug(const char*, ...) {}
void EvDebug::error(const char*, ...) {}

LUMPI_Focus::LUMPI_Focus() = default;
LUMPI_Focus::~LUMPI_Focus() = default;
void LUMPI_Focus::setFocus(const char*) {}

LUMPlatformInfo::LUMPlatformInfo() = default;
LUMPlatformInfo::~LUMPlatformInfo() = default;
int LUMPlatformInfo::getString(const char*, const char*, std::string*)
{
    return 0;
}
