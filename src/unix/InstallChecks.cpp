// Install-time validation of the service name and of the program path written into the script.
#include "unix/InstallChecks.h"

namespace serviceapp {

bool IsValidServiceName(const char*, size_t)
{
    return false;
}

bool IsSafeProgramPath(const char*)
{
    return false;
}

}  // namespace serviceapp
