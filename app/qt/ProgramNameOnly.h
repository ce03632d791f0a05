// What the Qt application is given of the command line: the program's name alone. The program
// reads no command line, so Qt's own options (-reverse, -style, ...) must not change its window.
// QApplication keeps references to the count and the array: this object must outlive it.
#pragma once

#include <string>

class ProgramNameOnly {
public:
    // `argv[0]` is the name (argc may be 0 when the program was started without one).
    ProgramNameOnly(int argc, char** argv)
        : m_name(argc > 0 && argv[0] != nullptr ? argv[0] : "tarnet-updater") {
        m_argv[0] = m_name.data();
    }
    ProgramNameOnly(const ProgramNameOnly&) = delete;
    ProgramNameOnly& operator=(const ProgramNameOnly&) = delete;

    int& Count() { return m_argc; }
    char** Values() { return m_argv; }

private:
    std::string m_name;
    int m_argc = 1;
    char* m_argv[2] = {nullptr, nullptr};
};
