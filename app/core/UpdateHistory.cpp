#include "UpdateHistory.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* HISTORY_FOLDER = "tarnet-updater";
constexpr const char* HISTORY_FILE = "history.jsonl";

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string Utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

void SetError(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
}

// Creates the folders of `file`'s parent; false with `error` set when they can't be made.
bool MakeParent(const fs::path& file, std::string* error) {
    std::error_code ec;
    const fs::path parent = file.parent_path();
    if (parent.empty() || fs::is_directory(parent, ec)) return true;
    fs::create_directories(parent, ec);
    if (ec) {
        SetError(error, "can't create " + Utf8Of(parent) + ": " + ec.message());
        return false;
    }
#if !defined(_WIN32)
    // State is the user's own (as the XDG base directory rules ask of the folders they name).
    fs::permissions(parent, fs::perms::owner_all, fs::perm_options::replace, ec);
#endif
    return true;
}

// How long an append waits for another writer's lock before it writes without one: the lock
// only ever covers one write, so the wait is that write's, and a stuck writer costs this one no
// more than this.
constexpr int LOCK_ATTEMPTS = 500;
constexpr std::chrono::milliseconds LOCK_RETRY{2};

#if defined(_WIN32)
// An exclusive lock on one byte far beyond any data, so that it keeps other writers of the history
// apart without being in the way of the writes themselves.
constexpr DWORD LOCK_OFFSET_HIGH = 0x40000000;

// LockFileEx wants a handle with read or write access: FILE_APPEND_DATA alone is refused.
HistoryLockUse LockForAppend(HANDLE file) {
    for (int attempt = 1; attempt <= LOCK_ATTEMPTS; ++attempt) {
        OVERLAPPED at{};
        at.OffsetHigh = LOCK_OFFSET_HIGH;
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return {true, attempt};
        std::this_thread::sleep_for(LOCK_RETRY);
    }
    return {false, LOCK_ATTEMPTS};
}

void UnlockAfterAppend(HANDLE file) {
    OVERLAPPED at{};
    at.OffsetHigh = LOCK_OFFSET_HIGH;
    UnlockFileEx(file, 0, 1, 0, &at);
}

// Whether the file's last byte is other than a line break: its last write was cut short.
bool EndsInsideALine(HANDLE file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart == 0) return false;
    const auto last = static_cast<std::uint64_t>(size.QuadPart - 1);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(last);
    at.OffsetHigh = static_cast<DWORD>(last >> 32);
    char byte = '\n';
    DWORD got = 0;
    return ReadFile(file, &byte, 1, &got, &at) && got == 1 && byte != '\n';
}

std::string SystemMessage(DWORD code) {
    return "system error " + std::to_string(code);
}

// Writes all of `text` to `file`; false when the system refused a part of it.
bool WriteAll(HANDLE file, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 30));
        if (!WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}
#else
HistoryLockUse LockForAppend(int fd) {
    for (int attempt = 1; attempt <= LOCK_ATTEMPTS; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {true, attempt};
        // No locks here (some network file systems).
        if (errno != EWOULDBLOCK && errno != EINTR) return {false, attempt};
        std::this_thread::sleep_for(LOCK_RETRY);
    }
    return {false, LOCK_ATTEMPTS};
}

// Whether the file's last byte is other than a line break: its last write was cut short.
bool EndsInsideALine(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size == 0) return false;
    char byte = '\n';
    return ::pread(fd, &byte, 1, st.st_size - 1) == 1 && byte != '\n';
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
#endif

// `line` on a line of its own after a fragment that the file ends in.
std::string LineAfterACut(const std::string& line) {
    std::string text;
    text.reserve(line.size() + 1);
    text += '\n';
    text += line;
    return text;
}

}  // namespace

std::string HistoryFilePath() {
    fs::path base;
#if defined(_WIN32)
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || *local == L'\0') return {};
    base = fs::path(local);
#else
    // XDG_STATE_HOME counts only when absolute; a relative one is to be ignored.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        base = PathOf(state);
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') return {};
        base = PathOf(home) / ".local" / "state";
    }
#endif
    return Utf8Of(base / HISTORY_FOLDER / HISTORY_FILE);
}

bool AppendHistory(const UpdateRecord& record, std::string* error) {
    const std::string path = HistoryFilePath();
    if (path.empty()) {
        SetError(error, "no state directory: neither XDG_STATE_HOME nor HOME names one");
        return false;
    }
    return AppendHistoryTo(path, record, error);
}

bool AppendHistoryTo(const std::string& pathText, const UpdateRecord& record, std::string* error) {
    return AppendHistoryTo(pathText, record, error, nullptr);
}

bool AppendHistoryTo(const std::string& pathText, const UpdateRecord& record, std::string* error,
                     HistoryLockUse* lockUse) {
    const fs::path path = PathOf(pathText);
    if (!MakeParent(path, error)) return false;
    const std::string line = RecordJson(record) + "\n";
#if defined(_WIN32)
    // Without FILE_WRITE_DATA every write goes to the end of the file as it is at that moment;
    // reading is for the lock and the check of the last line.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        SetError(error, "can't open " + pathText + ": " + SystemMessage(GetLastError()));
        return false;
    }
    // Appending writes go to the end of the file as it is at that moment, but not on every file
    // system (Wine's, network shares) as one step: writers also take turns by a lock.
    const HistoryLockUse lock = LockForAppend(file);
    const bool written = WriteAll(file, EndsInsideALine(file) ? LineAfterACut(line) : line);
    const DWORD code = GetLastError();
    if (lock.held) UnlockAfterAppend(file);
    CloseHandle(file);
    if (!written) SetError(error, "can't write " + pathText + ": " + SystemMessage(code));
#else
    // Readable for the check of the last line.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        SetError(error, "can't open " + pathText + ": " + std::strerror(errno));
        return false;
    }
    // O_APPEND writes in one step on local file systems, not on every network one: writers also
    // take turns by a lock, which closing the file releases.
    const HistoryLockUse lock = LockForAppend(fd);
    const bool written = WriteAll(fd, EndsInsideALine(fd) ? LineAfterACut(line) : line);
    const int code = errno;
    ::close(fd);
    if (!written) SetError(error, "can't write " + pathText + ": " + std::strerror(code));
#endif
    if (lockUse != nullptr) *lockUse = lock;
    return written;
}

HistoryContents ReadHistory(const std::string& path) {
    HistoryContents contents;
    std::error_code ec;
    if (!fs::exists(PathOf(path), ec)) return contents;
    const auto text = ReadWholeFile(path);
    if (!text) {
        contents.error = "can't read " + path;
        return contents;
    }
    return HistoryFromText(*text);
}

HistoryContents HistoryFromText(std::string_view text) {
    HistoryContents contents;
    contents.found = true;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) {
            if (auto record = ParseRecordJson(line)) {
                contents.records.push_back(std::move(*record));
            } else {
                contents.unreadableLines++;
            }
        }
        at = end + 1;
    }
    return contents;
}

namespace {

// Names a temporary file may take before a report gives up: beyond any leftovers of killed writers.
constexpr int TEMPORARY_NAMES = 1000;

// The next temporary name for `path`, unique to this process and call: "<path>.<pid>-<n>.tmp".
fs::path TemporaryName(const fs::path& path) {
    static std::atomic<unsigned> s_serial{0};
#if defined(_WIN32)
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
    fs::path temporary = path;
    std::string suffix = ".";
    suffix += std::to_string(pid);
    suffix += '-';
    suffix += std::to_string(s_serial.fetch_add(1));
    suffix += ".tmp";
    temporary += PathOf(suffix);
    return temporary;
}

#if !defined(_WIN32)
// The mode that a file made now with 0644 gets: 0644 less the umask. The umask is read from the
// system's account of the process (Linux 4.7 and later), since umask() can only be read by
// changing it, for every thread at once, and a file that another thread makes in that moment
// would get the wrong mode. Nullopt where the system does not tell it: the file then stays 0600.
std::optional<mode_t> NewFileMode() {
    const auto status = ReadWholeFile("/proc/self/status");
    if (!status) return std::nullopt;
    constexpr std::string_view KEY = "\nUmask:";
    const std::size_t at = status->find(KEY);
    if (at == std::string::npos) return std::nullopt;
    std::size_t digit = status->find_first_not_of(" \t", at + KEY.size());
    if (digit == std::string::npos) return std::nullopt;
    mode_t mask = 0;
    std::size_t digits = 0;
    for (; digit < status->size() && (*status)[digit] >= '0' && (*status)[digit] <= '7'; ++digit, ++digits) {
        mask = static_cast<mode_t>(mask * 8 + static_cast<mode_t>((*status)[digit] - '0'));
    }
    if (digits == 0 || digits > 4 || (digit < status->size() && (*status)[digit] != '\n')) return std::nullopt;
    return static_cast<mode_t>(0644 & ~mask);
}
#endif

}  // namespace

bool WriteFileAtomically(const std::string& pathText, const std::string& text, std::string* error) {
    const fs::path path = PathOf(pathText);
    std::error_code ec;
    fs::path temporary;
#if defined(_WIN32)
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD openCode = 0;
    for (int name = 0; name < TEMPORARY_NAMES && file == INVALID_HANDLE_VALUE; ++name) {
        temporary = TemporaryName(path);
        file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        openCode = GetLastError();
        if (file == INVALID_HANDLE_VALUE && openCode != ERROR_FILE_EXISTS && openCode != ERROR_ALREADY_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        SetError(error, "can't create " + Utf8Of(temporary) + ": " + SystemMessage(openCode));
        return false;
    }
    const bool written = WriteAll(file, text) && FlushFileBuffers(file);
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!written) {
        fs::remove(temporary, ec);
        SetError(error, "can't write " + Utf8Of(temporary) + ": " + SystemMessage(code));
        return false;
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveCode = GetLastError();
        fs::remove(temporary, ec);
        SetError(error, "can't replace " + pathText + ": " + SystemMessage(moveCode));
        return false;
    }
    return true;
#else
    // The temporary is the owner's alone (0600, or less under a stricter umask) until the text is
    // complete, so no one reads a part of it, nor text that the finished file would not show them.
    // Only then does it take its permissions: those of the report it replaces, or for a new one
    // those that a file made now would get (0644 less the umask).
    struct stat former {};
    const bool replaces = ::stat(path.c_str(), &former) == 0 && S_ISREG(former.st_mode);
    int fd = -1;
    for (int name = 0; name < TEMPORARY_NAMES && fd < 0; ++name) {
        temporary = TemporaryName(path);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        SetError(error, "can't create " + Utf8Of(temporary) + ": " + std::strerror(errno));
        return false;
    }
    bool written = WriteAll(fd, text);
    int code = errno;
    const std::optional<mode_t> mode = replaces ? std::optional<mode_t>(former.st_mode & 0777) : NewFileMode();
    if (written && mode && ::fchmod(fd, *mode) != 0) {
        written = false;
        code = errno;
    }
    if (written && ::fsync(fd) != 0) {
        written = false;
        code = errno;
    }
    if (::close(fd) != 0 && written) {
        written = false;
        code = errno;
    }
    if (!written) {
        fs::remove(temporary, ec);
        SetError(error, "can't write " + Utf8Of(temporary) + ": " + std::strerror(code));
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        code = errno;
        fs::remove(temporary, ec);
        SetError(error, "can't replace " + pathText + ": " + std::strerror(code));
        return false;
    }
    // The new name is on the disk only once the folder is. The report is in place either way: a
    // folder that can't be synced (some file systems refuse) is no reason to call it unwritten.
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const int folder = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
#endif
}

std::optional<std::string> ReadWholeFile(const std::string& pathText) {
    const fs::path path = PathOf(pathText);
    std::string text;
#if defined(_WIN32)
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0) text.append(buffer, got);
    CloseHandle(file);
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
#endif
    if (!ok) return std::nullopt;
    return text;
}
