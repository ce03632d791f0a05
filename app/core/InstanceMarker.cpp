#include "InstanceMarker.h"

#include <cstdio>

std::string InstanceMarkerName(int number) {
    std::string name = "Tarnet System Ver 1.10 Updater";
    if (number != 1) name += " (" + std::to_string(number) + ")";
    return name;
}

namespace {

std::string ScopeSuffix(const std::string& scope) {
    return scope.empty() ? std::string() : " [" + scope + "]";
}

// Creates the markers of numbers 1, 2, ... with `create` until one is created afresh (the claim) or
// one fails for a reason other than another process holding it (the claim's error).
template <typename Create>
InstanceClaim ClaimLowestFree(const std::string& scope, Create create) {
    const std::string suffix = ScopeSuffix(scope);
    InstanceClaim claim;
    for (int n = 1; n <= MAX_INSTANCES; ++n) {
        const InstanceMarkerResult result = create(InstanceMarkerName(n) + suffix);
        if (result.handle != NO_INSTANCE_MARKER && !result.alreadyExists) {
            claim.number = n;
            claim.handle = result.handle;
            return claim;
        }
        if (result.handle != NO_INSTANCE_MARKER) CloseInstanceMarker(result.handle);
        if (!result.alreadyExists) {
            // Not a copy holding it: the number may well be free, and the next one says nothing.
            claim.error = result.error;
            return claim;
        }
    }
    return claim;
}

std::string SystemErrorText(int error);

}  // namespace

std::string InstanceRefusalMessage() {
    char text[128];
    std::snprintf(text, sizeof text,
                  "It is forbidden to launch more than %d instance of this application.",
                  MAX_INSTANCES);
    return text;
}

std::string InstanceClaimErrorMessage(const InstanceClaim& claim) {
    std::string text = "Can't claim an instance number: " + SystemErrorText(claim.error);
    if (!claim.place.empty()) text += " (" + claim.place + ")";
    return text + ".";
}

#ifdef _WIN32
#include <windows.h>

namespace {

std::string SystemErrorText(int error) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    // The system's texts end in ".\r\n"; the message adds its own end.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.' ||
                                message.back() == ' ')) {
        message.pop_back();
    }
    if (message.empty()) message = "error " + std::to_string(static_cast<unsigned long>(error));
    return message;
}

}  // namespace

InstanceMarkerResult CreateInstanceMarker(const std::string& name) {
    InstanceMarkerResult result;
    result.handle = CreateMutexA(nullptr, TRUE, name.c_str());
    const DWORD error = GetLastError();
    if (result.handle != nullptr) {
        result.alreadyExists = error == ERROR_ALREADY_EXISTS;
        return result;
    }
    // The name exists but can't be opened: a mutex of another security context (an elevated
    // copy), or another kind of object under that name. Either way another process holds it.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE) {
        result.alreadyExists = true;
    } else {
        result.error = error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
    }
    return result;
}

void CloseInstanceMarker(InstanceMarkerHandle handle) {
    if (handle != nullptr) CloseHandle(handle);
}

InstanceClaim ClaimInstanceNumber(const std::string& scope) {
    return ClaimLowestFree(scope, [](const std::string& name) { return CreateInstanceMarker(name); });
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

namespace {

std::string SystemErrorText(int error) { return std::strerror(error); }

// Failures of a candidate directory that say it is not for the markers, now or a moment later:
// missing without a parent, no permission, read-only, a link or not a directory, a name too long.
// Any other failure (no descriptor or memory left, a full disk, an I/O error) says nothing about
// the candidate.
bool MeansUnusable(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case EACCES:
        case EPERM:
        case EROFS:
        case ELOOP:
        case ENAMETOOLONG: return true;
        default: return false;
    }
}

}  // namespace

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

InstanceMarkerPlace OpenInstanceMarkerPlace(const std::vector<std::string>& candidates) {
    InstanceMarkerPlace place;
    for (const std::string& path : candidates) {
        // Created for the user alone; if it exists, it is checked like any other (whoever made it).
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            if (MeansUnusable(errno)) continue;
            place.error = errno;
            place.path = path;
            return place;
        }
        // The checks go to the open directory itself, so that a directory swapped in behind the
        // path after the check is never used: the files are opened relative to this descriptor.
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (MeansUnusable(errno)) continue;
            place.error = errno;
            place.path = path;
            return place;
        }
        struct stat info {};
        if (fstat(fd, &info) != 0) {
            place.error = errno;
            place.path = path;
            close(fd);
            return place;
        }
        if (S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0) {
            place.directory = fd;
            place.path = path;
            return place;
        }
        close(fd);
    }
    return place;
}

void CloseInstanceMarkerPlace(InstanceMarkerPlace& place) {
    if (place.directory >= 0) close(place.directory);
    place.directory = -1;
}

namespace {

// The marker as an exclusive lock on "<name>.lock" in `directory`. The file stays when the lock
// goes: removing it would let a copy that opened it just before lock a file that no longer has
// the name while a third copy creates the name afresh.
InstanceMarkerResult CreateLockMarker(int directory, const std::string& name) {
    InstanceMarkerResult result;
    if (name.empty() || name.find('/') != std::string::npos) {
        result.error = EINVAL;
        return result;
    }
    const std::string file = name + ".lock";
    const int fd = openat(directory, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        result.error = errno;
        return result;
    }
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
    result.error = errno;
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
    if (name.empty() || scoped.size() + 1 > sizeof(address.sun_path)) {
        result.error = ENAMETOOLONG;
        return result;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.error = errno;
        return result;
    }
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
    result.error = errno;
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
    InstanceMarkerResult result;
    result.error = ENOTSUP;
    return result;
#endif
}

InstanceMarkerResult CreateInstanceMarker(const std::string& name) {
    InstanceMarkerPlace place = OpenInstanceMarkerPlace(InstanceMarkerDirectories());
    if (place.error != 0) {
        InstanceMarkerResult result;
        result.error = place.error;
        return result;
    }
    const InstanceMarkerResult result = CreateInstanceMarkerIn(place.directory, name);
    CloseInstanceMarkerPlace(place);
    return result;
}

void CloseInstanceMarker(InstanceMarkerHandle handle) {
    if (handle >= 0) close(handle);
}

InstanceClaim ClaimInstanceNumber(const std::string& scope,
                                  const std::function<InstanceMarkerPlace()>& findPlace) {
    InstanceMarkerPlace place = findPlace();
    InstanceClaim claim;
    if (place.error == 0) {
        const int directory = place.directory;
        claim = ClaimLowestFree(scope, [directory](const std::string& name) {
            return CreateInstanceMarkerIn(directory, name);
        });
    } else {
        claim.error = place.error;
    }
    if (claim.error != 0) claim.place = place.path;
    CloseInstanceMarkerPlace(place);
    return claim;
}

InstanceClaim ClaimInstanceNumber(const std::string& scope) {
    return ClaimInstanceNumber(scope, [] { return OpenInstanceMarkerPlace(InstanceMarkerDirectories()); });
}
#endif
