// tarnet-instance-probe.exe: start-up of the Windows program without its window, for the instance
// tests under Wine. Claims an instance number exactly as the program does (named mutexes) and
// prints "claimed N", prints "refused: <message>" when every number is taken (exit status 3), or
// "error: <message>" when the start-up ends on an error (exit status 4). It then holds
// its number until its standard input reaches end of file (or it is terminated). The first
// argument is the scope of the mutex names, so that test runs neither see nor disturb each other.
#include <windows.h>

#include <cstdio>
#include <string>

#include "CVelmoUpdatorApp.h"

int main(int argc, char** argv) {
    CVelmoUpdatorApp app;
    if (argc > 1) app.m_markerScope = argv[1];
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
        std::printf("claimed %d\n", app.GetInstanceNumber());
        std::fflush(stdout);
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        char c;
        DWORD read = 0;
        while (ReadFile(input, &c, 1, &read, nullptr) && read > 0) {
        }
    };
    app.InitInstance();
    return exitCode;
}
