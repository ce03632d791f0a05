// tarnet-instance-probe: start-up of the updater without its window, for the instance tests.
// Claims an instance number exactly as the program does and prints "claimed N", or prints
// "refused: <message>" when every number is taken. It then holds its number until its standard
// input reaches end of file (or it is killed). With the argument "spawn-child" it first starts a
// child process (sleep) that outlives it, to show that the child does not keep the number.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <unistd.h>

#include "CVelmoUpdatorApp.h"

extern char** environ;

int main(int argc, char** argv) {
    const bool spawnChild = argc > 1 && std::strcmp(argv[1], "spawn-child") == 0;
    CVelmoUpdatorApp app;
    // The test gives each run's probes a marker scope of their own.
    if (const char* scope = std::getenv("TARNET_TEST_INSTANCE_SCOPE")) app.m_markerScope = scope;
    int exitCode = 0;
    app.m_showRefusal = [&](const std::string& text) {
        std::printf("refused: %s\n", text.c_str());
        std::fflush(stdout);
        exitCode = 3;
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
