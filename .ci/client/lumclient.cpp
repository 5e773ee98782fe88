// A client on CLUMServiceApp, built out of tree against an installed prefix and linking only the service library.
// SPDX-License-Identifier: MIT
#include <LUMServiceApp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

class LumClient : public CLUMServiceApp {
public:
    bool ParseCommandLineArgument(char* argument, int index) override
    {
        if (strcmp(argument, "-once") == 0) {
            m_once = true;
            return true;
        }
        return CLUMServiceApp::ParseCommandLineArgument(argument, index);
    }
    // Says where it runs, then stops at once ("-once") or on SIGTERM.
    void Run() override
    {
        char cwd[4096] = "?";
        if (getcwd(cwd, sizeof(cwd)) == nullptr) {
            strcpy(cwd, "?");
        }
        printf("running in %s\n", cwd);
        fflush(stdout);
        if (m_once) {
            StopSelf();
        } else {
            CServiceApp::Run();
        }
    }

private:
    bool m_once = false;
};

int main(int argc, char** argv)
{
    static LumClient app;
    app.SetServiceName("lumclient", "lumclient", nullptr);
    return app.Main(argc, argv);
}
