// A service for the init-script tests: appends each lifecycle hook it runs to the file $SERVICEAPP_TEST_HOOKS.
#include <ServiceApp.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

class TestDaemon : public CServiceApp {
    void Record(const char* hook)
    {
        const char* path = getenv("SERVICEAPP_TEST_HOOKS");
        if (path == nullptr) {
            return;
        }
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char line[64];
            size_t n = strlen(hook);
            memcpy(line, hook, n);
            line[n] = '\n';
            (void)!write(fd, line, n + 1);
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
    return daemon.Main(argc, argv);
}
