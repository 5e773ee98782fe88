// heartbeat: a small daemon on CServiceApp.
#include <ServiceApp.h>

int main(int argc, char** argv)
{
    static CServiceApp app;
    app.SetServiceName("heartbeat");
    return app.Main(argc, argv);
}
