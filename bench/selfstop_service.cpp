// A client whose Run stops the service at once: measures a whole "-console" start-up.
// SPDX-License-Identifier: MIT
#include <ServiceApp.h>

namespace {

class SelfStop : public CServiceApp {
public:
    void Run() override { StopSelf(); }
};

}  // namespace

int main(int argc, char** argv)
{
    static SelfStop app;
    app.SetServiceName("benchsvc");
    return app.Main(argc, argv);
}
