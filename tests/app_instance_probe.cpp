// tarnet-instance-probe: start-up of the updater without its window, for the instance tests.
// Claims an instance number exactly as the program does and prints "claimed N", prints
// "refused: <message>" when every number is taken (exit status 3), or "error: <message>" when the
// start-up ends on an error (exit status 4). It then holds its number until its standard input
// reaches end of file (or it is killed). Arguments:
//   spawn-child     first start a child process (sleep) that outlives it, to show that the child
//                   does not keep the number
//   fd-headroom N   lower the limit of open descriptors so that only N more can be opened
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <unistd.h>

#include "CVelmoUpdatorApp.h"

extern char** environ;

namespace {

// Sets the soft limit of open descriptors so that exactly `headroom` more descriptors fit below it.
bool LimitDescriptors(int headroom) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    int free = 0;
    rlim_t bound = 0;
    while (bound < limit.rlim_cur && free < headroom) {
        if (fcntl(static_cast<int>(bound), F_GETFD) < 0 && errno == EBADF) ++free;
        ++bound;
    }
    // Up to the next free one: the descriptors open now stay usable.
    while (bound < limit.rlim_cur && fcntl(static_cast<int>(bound), F_GETFD) >= 0) ++bound;
    if (free < headroom) return false;
    limit.rlim_cur = bound;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool spawnChild = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "spawn-child") == 0) {
            spawnChild = true;
        } else if (std::strcmp(argv[i], "fd-headroom") == 0 && i + 1 < argc) {
            if (!LimitDescriptors(std::atoi(argv[++i]))) {
                std::printf("probe: can't limit the descriptors\n");
                return 2;
            }
        }
    }
    CVelmoUpdatorApp app;
    // The test gives each run's probes a marker scope of their own.
    if (const char* scope = std::getenv("TARNET_TEST_INSTANCE_SCOPE")) app.m_markerScope = scope;
    int exitCode = 0;
    app.m_showRefusal = [&](const std::string& text) {
        std::printf("refused: %s\n", text.c_str());
        std::fflush(stdout);
        exitCode = 3;
    };
    app.m_showStartError = [&](const std::string& text) {
        std::printf("error: %s\n", text.c_str());
        std::fflush(stdout);
        exitCode = 4;
    };
    app.m_runMainWindow = [&] {
        if (spawnChild) {
            pid_t child = 0;
            char sleepPath[] = "/bin/sleep";
            char seconds[] = "30";
            char* childArgv[] = {sleepPath, seconds, nullptr};
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            // The child must not hold the pipes of the test either.
            posix_spawn_file_actions_addclose(&actions, 0);
            posix_spawn_file_actions_addclose(&actions, 1);
            if (posix_spawn(&child, sleepPath, &actions, nullptr, childArgv, environ) == 0) {
                std::printf("child %d\n", static_cast<int>(child));
            }
            posix_spawn_file_actions_destroy(&actions);
        }
        std::printf("claimed %d\n", app.GetInstanceNumber());
        std::fflush(stdout);
        char c;
        while (read(0, &c, 1) > 0) {
        }
    };
    app.InitInstance();
    return exitCode;
}
