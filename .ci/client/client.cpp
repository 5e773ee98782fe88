// The smallest client: built out of tree against an installed prefix.
#include <BaseServiceApp.h>
#include <ServiceApp.h>

#include <cstdio>

class Client : public CServiceApp {
public:
    void RunCustom() override { std::puts("client ok"); }
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
