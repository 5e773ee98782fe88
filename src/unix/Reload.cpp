// Reload requests: the client's handler, the request a signal leaves for the service's thread, and the messages around a reload.
// SPDX-License-Identifier: MIT
#include "unix/Reload.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "UnixServiceApp.h"
#include "unix/Notify.h"

namespace {

// Per process, outside the objects (their layout is fixed); read in signal
// context, so only atomic loads and stores.
CUnixServiceApp::ReloadHandler g_handler = nullptr;
bool g_pending = false;
long g_serviceThread = 0;

}  // namespace

namespace serviceapp {

bool RequestReload()
{
    if (__atomic_load_n(&g_handler, __ATOMIC_SEQ_CST) == nullptr) {
        return false;  // nothing would run it: the signal stays a no-op
    }
    __atomic_store_n(&g_pending, true, __ATOMIC_SEQ_CST);
    return true;
}

bool ReloadPending()
{
    return __atomic_load_n(&g_pending, __ATOMIC_SEQ_CST);
}

bool ReloadHandlerRegistered()
{
    return __atomic_load_n(&g_handler, __ATOMIC_SEQ_CST) != nullptr;
}

void SetServiceThread()
{
    __atomic_store_n(&g_serviceThread, syscall(SYS_gettid), __ATOMIC_SEQ_CST);
}

bool OnServiceThread()
{
    return __atomic_load_n(&g_serviceThread, __ATOMIC_SEQ_CST) == syscall(SYS_gettid);
}

}  // namespace serviceapp

void CUnixServiceApp::SetReloadHandler(ReloadHandler handler)
{
    __atomic_store_n(&g_handler, handler, __ATOMIC_SEQ_CST);
    if (handler == nullptr) {
        __atomic_store_n(&g_pending, false, __ATOMIC_SEQ_CST);
    }
}

bool CUnixServiceApp::IsReloadPending()
{
    return serviceapp::ReloadPending();
}

bool CUnixServiceApp::RunPendingReload()
{
    ReloadHandler handler = __atomic_load_n(&g_handler, __ATOMIC_SEQ_CST);
    // Taken before the handler runs: a request that comes while it runs is
    // served by the next call.
    if (handler == nullptr || !__atomic_exchange_n(&g_pending, false, __ATOMIC_SEQ_CST)) {
        return false;
    }
    struct timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    char reloading[64];
    (void)snprintf(reloading, sizeof(reloading), "RELOADING=1\nMONOTONIC_USEC=%llu\nSTATUS=Reloading",
                   static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                       static_cast<unsigned long long>(now.tv_nsec) / 1000ULL);
    // Best effort, as every notification: a manager that cannot be told
    // never keeps the reload from running.
    (void)serviceapp::NotifyServiceManager(reloading);
    bool reloaded = handler(*this);
    (void)serviceapp::NotifyServiceManager(reloaded ? "READY=1\nSTATUS=Running"
                                                    : "READY=1\nSTATUS=Reload failed");
    return true;
}
