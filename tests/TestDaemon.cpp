// A service for the init-script tests: appends each lifecycle hook it runs to the file $SERVICEAPP_TEST_HOOKS.
#include <ServiceApp.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

class TestDaemon : public CServiceApp {
    static void Record(const char* hook)
    {
        const char* path = getenv("SERVICEAPP_TEST_HOOKS");
        int fd = path != nullptr ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
        if (fd >= 0) {
            dprintf(fd, "%s\n", hook);
            close(fd);
        }
    }

public:
    void SetServiceStateStarting() override { Record("starting"); }
    bool Initialize() override
    {
        Record("initialize");
        alarm(120);  // a test that loses track of it must not leave it running
        return true;
    }
    void SetServiceStateRunning() override { Record("running"); }
    void SetServiceStateStopping() override { Record("stopping"); }
    void Deinitialize() override { Record("deinitialize"); }
    void SetServiceStateStopped() override { Record("stopped"); }
};

}  // namespace

int main(int argc, char** argv)
{
    static TestDaemon daemon;
    const char* name = getenv("SERVICEAPP_TEST_NAME");
    daemon.SetServiceName(name != nullptr ? name : "serviceapp-testd");
    if (name != nullptr) {
        (void)prctl(PR_SET_NAME, name);  // the process name the init tools match, as for a daemon named so
    }
    return daemon.Main(argc, argv);
}
