// The command-line conventions the terminal programs share, in the usual GNU form:
//   --help     the whole help text on standard output, exit status 0
//   --version  "PROGRAM VERSION" on the first line, then copyright and licence, exit status 0
//   a usage error: "PROGRAM: what is wrong", the usage line and a pointer to --help on standard
//              error, exit status 2
// Options are read as "--name value" or "--name=value".
#pragma once

#include <optional>
#include <string>

namespace cli {

inline constexpr int EXIT_USAGE = 2;

struct Program {
    const char* name;   // as installed, e.g. "tarnet-update"
    const char* usage;  // the usage line(s), e.g. "Usage: tarnet-update [OPTION]...\n"
    const char* help;   // the whole --help text; starts with the usage line(s)
};

// A usage error found while reading the command line; `text` says what is wrong.
struct UsageError {
    std::string text;
};

// "tarnet-update 1.10" and the copyright and licence lines.
std::string VersionText(const char* name);

// Handles the options every program has. For --help and --version (and -h) prints the text and
// returns the exit status (0, or 1 when standard output can't be written); otherwise nullopt.
std::optional<int> StandardOption(const Program& program, const std::string& option);

// Writes the usage error to standard error; returns EXIT_USAGE.
int ReportUsageError(const Program& program, const std::string& text);

// Walks through argv one option at a time.
class ArgReader {
public:
    ArgReader(int argc, char** argv) : m_argc(argc), m_argv(argv) {}

    // The next option's name ("--timeout" of "--timeout=5"); false when none is left.
    bool Next(std::string& option);
    // The current option's value: what follows '=', or else the next word. Throws UsageError when
    // there is none.
    std::string Value();
    // Throws UsageError when the current option was given a value with '='.
    void NoValue() const;

private:
    int m_argc;
    char** m_argv;
    int m_index = 0;
    std::string m_option;
    std::optional<std::string> m_inlineValue;
};

// A whole decimal number from min to max; anything else (empty, trailing characters, out of
// range) throws UsageError naming `what`.
long ParseInteger(const std::string& text, long min, long max, const std::string& what);

}  // namespace cli
