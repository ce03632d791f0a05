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
#include <cstring>
#include <unistd.h>

#if defined(__linux__)
#include <sys/socket.h>
#include <sys/un.h>

InstanceMarkerResult CreateInstanceMarker(const std::string& name) {
    InstanceMarkerResult result;
    sockaddr_un address{};
    // The abstract namespace: a leading NUL, then the name. The length given to bind() ends right
    // after the name, so no padding bytes become part of it.
    if (name.empty() || name.size() + 1 > sizeof(address.sun_path)) return result;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return result;
    address.sun_family = AF_UNIX;
    address.sun_path[0] = '\0';
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        result.handle = fd;
        return result;
    }
    const int error = errno;
    if (error == EADDRINUSE) {
        // The name is held: hand back the handle with the flag, as a named mutex that exists does.
        result.handle = fd;
        result.alreadyExists = true;
        return result;
    }
    close(fd);
    return result;
}

#else
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>

InstanceMarkerResult CreateInstanceMarker(const std::string& name) {
    InstanceMarkerResult result;
    const char* dir = std::getenv("TMPDIR");
    std::string path = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
    path += "/" + name + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return result;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        result.handle = fd;
        return result;
    }
    if (errno == EWOULDBLOCK) {
        result.handle = fd;
        result.alreadyExists = true;
        return result;
    }
    close(fd);
    return result;
}
#endif

void CloseInstanceMarker(InstanceMarkerHandle handle) {
    if (handle >= 0) close(handle);
}
#endif
