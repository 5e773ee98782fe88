// The smallest client: built out of tree against an installed prefix.
// SPDX-License-Identifier: MIT
#include <BaseServiceApp.h>
#include <ServiceApp.h>

#include <cstdio>

class Client : public CServiceApp {
public:
    // The members added since the first release link too; no stop was asked.
    void RunCustom() override
    {
        NotifyWatchdog();
        (void)serviceapp::SetStatus("client");  // no service manager here: nothing is sent
        std::puts(WaitForStop(0) ? "stopped" : "client ok");
    }
};

int main()
{
    Client app;
    app.SetServiceName("client");
    app.SetCustomAction();
    char name[] = "client";
    char* argv[] = {name, nullptr};
    return app.Main(1, argv);
}
