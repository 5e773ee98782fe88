// Instance focus and the server mark of the process.
// SPDX-License-Identifier: MIT
#include <pthread.h>

#include <cstring>

#include "LumPlatform.h"
#include "Runtime.h"

namespace {

char g_focus[256];  // the instance this process works on, cut to fit
pthread_mutex_t g_focusLock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

int LUMPI_Focus::IsAServer = 0;

LUMPI_Focus::LUMPI_Focus() = default;
LUMPI_Focus::~LUMPI_Focus() = default;

void LUMPI_Focus::setFocus(const char* instance)
{
    const char* name = instance != nullptr ? instance : "";
    pthread_mutex_lock(&g_focusLock);
    strncpy(g_focus, name, sizeof(g_focus) - 1);
    pthread_mutex_unlock(&g_focusLock);
    lumlib::WriteLogEntryF("DEBUG", "Focus set to instance [%s].", name);
}
