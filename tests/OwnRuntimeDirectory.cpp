// Linked into every test program that claims an instance number or starts the window: each of its
// processes runs with a runtime directory (XDG_RUNTIME_DIR) of its own, a fresh directory that only
// this user may enter, made before the first test and removed after the last. Copies of the updater
// count their instance numbers in the runtime directory (InstanceMarker.h), so a copy that the user
// runs meanwhile neither takes a number that a test expects nor loses one to a test. CTest runs
// each test case in a process of its own, and with it in a directory of its own; the processes
// that a test starts inherit it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/stat.h>

namespace {

class OwnRuntimeDirectory final : public ::testing::Environment {
public:
    void SetUp() override {
        const char* temporary = std::getenv("TMPDIR");
        std::string pattern = std::string(temporary != nullptr && temporary[0] == '/' ? temporary : "/tmp") +
                              "/tarnet-test-runtime-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) FAIL() << "no runtime directory could be made from " << pattern;
        m_path = pattern;
        // mkdtemp makes it 0700, as the base directory convention wants a runtime directory.
        struct stat info {};
        ASSERT_EQ(stat(m_path.c_str(), &info), 0);
        ASSERT_EQ(info.st_mode & 077, 0u) << m_path << " is open to others";
        ASSERT_EQ(setenv("XDG_RUNTIME_DIR", m_path.c_str(), 1), 0);
    }

    void TearDown() override {
        if (m_path.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }

private:
    std::string m_path;
};

// Registered before main runs; GoogleTest owns it.
[[maybe_unused]] ::testing::Environment* const ownRuntimeDirectory =
    ::testing::AddGlobalTestEnvironment(new OwnRuntimeDirectory);

}  // namespace
