// The three init-script templates and their filling.
#include "unix/InitScripts.h"

namespace serviceapp {

const char* InitScriptTemplate(eLinuxDistribution)
{
    return nullptr;
}

int FillInitScript(eLinuxDistribution, const char*, const char*, char*, size_t)
{
    return -1;
}

}  // namespace serviceapp
