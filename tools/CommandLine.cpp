#include "CommandLine.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#ifndef TARNET_VERSION
#error "TARNET_VERSION must be defined by the build"
#endif

namespace cli {

namespace {

// Flushes standard output; a full disk or a closed pipe is reported rather than lost.
int FinishStdout(const char* name) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: write error\n", name);
        return 1;
    }
    return 0;
}

}  // namespace

std::string VersionText(const char* name) {
    return std::string(name) + " " TARNET_VERSION "\n"
           "Copyright (C) 2026 The Tarnet Updater developers\n"
           "License MIT: <https://opensource.org/licenses/MIT>\n"
           "This is free software: you are free to change and redistribute it.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n";
}

std::optional<int> StandardOption(const Program& program, const std::string& option) {
    if (option == "--help" || option == "-h") {
        std::fputs(program.help, stdout);
        return FinishStdout(program.name);
    }
    if (option == "--version") {
        std::fputs(VersionText(program.name).c_str(), stdout);
        return FinishStdout(program.name);
    }
    return std::nullopt;
}

int ReportUsageError(const Program& program, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n%sTry '%s --help' for more information.\n", program.name, text.c_str(),
                 program.usage, program.name);
    return EXIT_USAGE;
}

bool ArgReader::Next(std::string& option) {
    if (m_index + 1 >= m_argc) return false;
    m_option = m_argv[++m_index];
    m_inlineValue.reset();
    if (const std::size_t eq = m_option.find('='); m_option.rfind("--", 0) == 0 && eq != std::string::npos) {
        m_inlineValue = m_option.substr(eq + 1);
        m_option.resize(eq);
    }
    option = m_option;
    return true;
}

std::string ArgReader::Value() {
    if (m_inlineValue) return *m_inlineValue;
    if (m_index + 1 >= m_argc) throw UsageError{"option '" + m_option + "' needs a value"};
    return m_argv[++m_index];
}

void ArgReader::NoValue() const {
    if (m_inlineValue) throw UsageError{"option '" + m_option + "' takes no value"};
}

long ParseInteger(const std::string& text, long min, long max, const std::string& what) {
    char* end = nullptr;
    errno = 0;
    const bool digitFirst = !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) ||
                                              (text[0] == '-' && text.size() > 1));
    const long v = digitFirst ? std::strtol(text.c_str(), &end, 10) : 0;
    if (!digitFirst || errno != 0 || *end != '\0' || v < min || v > max) {
        throw UsageError{"bad " + what + " '" + text + "' (a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ")"};
    }
    return v;
}

}  // namespace cli
