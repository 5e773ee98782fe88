// The smallest client: it names itself and keeps the default Run (stop latency, idle memory, install).
// SPDX-License-Identifier: MIT
#include <ServiceApp.h>

int main(int argc, char** argv)
{
    static CServiceApp app;
    app.SetServiceName("benchsvc");
    return app.Main(argc, argv);
}
