// A client with a reload handler that does nothing else, and the default Run (reload latency).
// SPDX-License-Identifier: MIT
#include <ServiceApp.h>

int main(int argc, char** argv)
{
    static CServiceApp app;
    app.SetServiceName("benchsvc");
    app.SetReloadHandler([](CUnixServiceApp&) { return true; });
    return app.Main(argc, argv);
}
