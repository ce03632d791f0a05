// The command-line conventions shared by the terminal programs: reading options with and without
// '=', numbers with their range, the version text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandLine.h"

namespace {

// argv for ArgReader, owning its strings.
class Argv {
public:
    Argv(std::initializer_list<std::string> words) : m_words(words) {
        m_words.insert(m_words.begin(), "program");
        for (std::string& w : m_words) m_pointers.push_back(w.data());
    }
    int argc() const { return static_cast<int>(m_pointers.size()); }
    char** argv() { return m_pointers.data(); }

private:
    std::vector<std::string> m_words;
    std::vector<char*> m_pointers;
};

}  // namespace

TEST(ArgReader, ReadsValuesAfterAnEqualsSignOrAsTheNextWord) {
    Argv a{"--device", "USB Audio Device", "--timeout=30", "--quiet", "--name=a=b", "--empty="};
    cli::ArgReader args(a.argc(), a.argv());
    std::string option;
    ASSERT_TRUE(args.Next(option));
    EXPECT_EQ(option, "--device");
    EXPECT_EQ(args.Value(), "USB Audio Device");
    ASSERT_TRUE(args.Next(option));
    EXPECT_EQ(option, "--timeout");
    EXPECT_EQ(args.Value(), "30");
    ASSERT_TRUE(args.Next(option));
    EXPECT_EQ(option, "--quiet");
    EXPECT_NO_THROW(args.NoValue());
    ASSERT_TRUE(args.Next(option));
    EXPECT_EQ(option, "--name");
    EXPECT_EQ(args.Value(), "a=b");
    ASSERT_TRUE(args.Next(option));
    EXPECT_EQ(option, "--empty");
    EXPECT_EQ(args.Value(), "");
    EXPECT_FALSE(args.Next(option));
    EXPECT_FALSE(args.Next(option));
}

TEST(ArgReader, RefusesAMissingValueAndAValueGivenToAFlag) {
    Argv missing{"--device"};
    cli::ArgReader a(missing.argc(), missing.argv());
    std::string option;
    ASSERT_TRUE(a.Next(option));
    try {
        a.Value();
        FAIL() << "no value, no error";
    } catch (const cli::UsageError& e) {
        EXPECT_EQ(e.text, "option '--device' needs a value");
    }
    Argv flag{"--quiet=yes"};
    cli::ArgReader b(flag.argc(), flag.argv());
    ASSERT_TRUE(b.Next(option));
    EXPECT_EQ(option, "--quiet");
    EXPECT_THROW(b.NoValue(), cli::UsageError);
    // A single-dash word keeps its '=': only long options carry values that way.
    Argv word{"-x=1"};
    cli::ArgReader c(word.argc(), word.argv());
    ASSERT_TRUE(c.Next(option));
    EXPECT_EQ(option, "-x=1");
}

TEST(ParseInteger, AcceptsWholeNumbersWithinTheRangeAndRefusesAnythingElse) {
    EXPECT_EQ(cli::ParseInteger("1", 1, 86400, "time-out"), 1);
    EXPECT_EQ(cli::ParseInteger("86400", 1, 86400, "time-out"), 86400);
    EXPECT_EQ(cli::ParseInteger("-3", -5, 5, "n"), -3);
    for (const char* bad : {"", "0", "86401", "12x", " 5", "+5", "5 ", "0x10", "-", "99999999999999999999999"}) {
        EXPECT_THROW(cli::ParseInteger(bad, 1, 86400, "time-out"), cli::UsageError) << '"' << bad << '"';
    }
    try {
        cli::ParseInteger("abc", 0, 10, "linger time");
        FAIL() << "accepted abc";
    } catch (const cli::UsageError& e) {
        EXPECT_EQ(e.text, "bad linger time 'abc' (a whole number from 0 to 10)");
    }
}

TEST(VersionText, StartsWithTheProgramNameAndVersionOnALineOfItsOwn) {
    const std::string text = cli::VersionText("tarnet-update");
    EXPECT_EQ(text.substr(0, text.find('\n')), "tarnet-update 1.10");
    EXPECT_NE(text.find("Copyright (C) 2026 The Tarnet Updater developers\n"), std::string::npos);
    EXPECT_NE(text.find("License MIT"), std::string::npos);
}
