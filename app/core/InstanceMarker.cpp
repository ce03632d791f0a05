#include "InstanceMarker.h"

#include <cstdio>

std::string InstanceMarkerName(int number) {
    std::string name = "Tarnet System Ver 1.10 Updater";
    if (number != 1) name += " (" + std::to_string(number) + ")";
    return name;
}

InstanceClaim ClaimInstanceNumber(const std::string& scope) {
    const std::string suffix = scope.empty() ? std::string() : " [" + scope + "]";
    for (int n = 1; n <= MAX_INSTANCES; ++n) {
        const InstanceMarkerResult result = CreateInstanceMarker(InstanceMarkerName(n) + suffix);
        if (result.handle != NO_INSTANCE_MARKER && !result.alreadyExists) {
            return InstanceClaim{n, result.handle};
        }
        // Taken, or the marker could not be created: try the next number.
        if (result.handle != NO_INSTANCE_MARKER) CloseInstanceMarker(result.handle);
    }
    return InstanceClaim{};
}

std::string InstanceRefusalMessage() {
    char text[128];
    std::snprintf(text, sizeof text,
                  "It is forbidden to launch more than %d instance of this application.",
                  MAX_INSTANCES);
    return text;
}

#ifdef _WIN32
#include <windows.h>

InstanceMarkerResult CreateInstanceMarker(const std::string& name) {
    InstanceMarkerResult result;
    result.handle = CreateMutexA(nullptr, TRUE, name.c_str());
    result.alreadyExists = result.handle != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
    return result;
}

void CloseInstanceMarker(InstanceMarkerHandle handle) {
    if (handle != nullptr) CloseHandle(handle);
}

#else
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/socket.h>
#include <sys/un.h>
#endif

std::vector<std::string> InstanceMarkerDirectories() {
    const std::string uid = std::to_string(static_cast<unsigned long>(geteuid()));
    std::vector<std::string> candidates;
    // Only an absolute runtime directory counts, as the base directory convention has it.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') candidates.push_back(std::string(runtime) + "/tarnet-updater");
    candidates.push_back("/run/user/" + uid + "/tarnet-updater");
    candidates.push_back("/tmp/tarnet-updater-" + uid);
    return candidates;
}

int OpenInstanceMarkerDirectory(const std::vector<std::string>& candidates) {
    for (const std::string& path : candidates) {
        // Created for the user alone; if it exists, it is checked like any other (whoever made it).
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) continue;
        // The checks go to the open directory itself, so that a directory swapped in behind the
        // path after the check is never used: the files are opened relative to this descriptor.
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
            (info.st_mode & 077) == 0) {
            return fd;
        }
        close(fd);
    }
    return -1;
}

namespace {

// The marker as an exclusive lock on "<name>.lock" in `directory`. The file stays when the lock
// goes: removing it would let a copy that opened it just before lock a file that no longer has
// the name while a third copy creates the name afresh.
InstanceMarkerResult CreateLockMarker(int directory, const std::string& name) {
    InstanceMarkerResult result;
    if (name.empty() || name.find('/') != std::string::npos) return result;
    const std::string file = name + ".lock";
    const int fd = openat(directory, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return result;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        result.handle = fd;
        return result;
    }
    if (errno == EWOULDBLOCK) {
        // The name is held: hand back the handle with the flag, as a named mutex that exists does.
        result.handle = fd;
        result.alreadyExists = true;
        return result;
    }
    close(fd);
    return result;
}

#if defined(__linux__)
// The marker as a Unix socket bound in the abstract namespace under "<name> [uid <uid>]".
InstanceMarkerResult CreateAbstractMarker(const std::string& name) {
    InstanceMarkerResult result;
    const std::string scoped =
        name + " [uid " + std::to_string(static_cast<unsigned long>(geteuid())) + "]";
    sockaddr_un address{};
    // The abstract namespace: a leading NUL, then the name. The length given to bind() ends right
    // after the name, so no padding bytes become part of it.
    if (name.empty() || scoped.size() + 1 > sizeof(address.sun_path)) return result;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return result;
    address.sun_family = AF_UNIX;
    address.sun_path[0] = '\0';
    std::memcpy(address.sun_path + 1, scoped.data(), scoped.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + scoped.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        result.handle = fd;
        return result;
    }
    if (errno == EADDRINUSE) {
        result.handle = fd;
        result.alreadyExists = true;
        return result;
    }
    close(fd);
    return result;
}
#endif

}  // namespace

InstanceMarkerResult CreateInstanceMarkerIn(int directory, const std::string& name) {
    if (directory >= 0) return CreateLockMarker(directory, name);
#if defined(__linux__)
    return CreateAbstractMarker(name);
#else
    return InstanceMarkerResult{};
#endif
}

InstanceMarkerResult CreateInstanceMarker(const std::string& name) {
    const int directory = OpenInstanceMarkerDirectory(InstanceMarkerDirectories());
    const InstanceMarkerResult result = CreateInstanceMarkerIn(directory, name);
    if (directory >= 0) close(directory);
    return result;
}

void CloseInstanceMarker(InstanceMarkerHandle handle) {
    if (handle >= 0) close(handle);
}
#endif
