// System-wide markers that tell running copies of the program apart.
//
// A marker is created under a name; creation is atomic (one process holds a given name), tells a
// second claimant that the name exists, and the marker vanishes by itself when the holding process
// ends, however it ends. Nothing is written to disk on Linux.
//   Linux:        a Unix socket bound in the abstract namespace under the name (close-on-exec, so a
//                 child process does not keep it alive).
//   Other POSIX:  an exclusive advisory lock on a file named after the marker in the temp directory.
//   Windows:      a named mutex, initially owned.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
using InstanceMarkerHandle = void*;
inline const InstanceMarkerHandle NO_INSTANCE_MARKER = nullptr;
#else
using InstanceMarkerHandle = int;
inline constexpr InstanceMarkerHandle NO_INSTANCE_MARKER = -1;
#endif

// Largest instance number; also the number in the refusal of a further copy.
inline constexpr int MAX_INSTANCES = 20;

// Name of the marker of instance `number` (1..MAX_INSTANCES), which is also the main window's title
// of that instance: "Tarnet System Ver 1.10 Updater", with " (n)" for n > 1.
std::string InstanceMarkerName(int number);

struct InstanceMarkerResult {
    InstanceMarkerHandle handle = NO_INSTANCE_MARKER;  // NO_INSTANCE_MARKER: creation failed
    bool alreadyExists = false;  // another process holds the name; the handle is not a claim
};

// Creates the marker `name`. A claim holds while the handle is open.
InstanceMarkerResult CreateInstanceMarker(const std::string& name);
// Closes a handle from CreateInstanceMarker (a held claim is given up).
void CloseInstanceMarker(InstanceMarkerHandle handle);

// The claim of an instance number at start-up.
struct InstanceClaim {
    int number = 0;  // 1..MAX_INSTANCES; 0 when every number is taken
    InstanceMarkerHandle handle = NO_INSTANCE_MARKER;  // held until the process ends
};

// Claims the lowest free number from 1 to MAX_INSTANCES: creates the marker of each number in turn
// until one is created afresh. A number whose marker exists already, or can't be created, is
// taken; its handle is closed. `scope` is appended to every name as " [scope]" (empty in the
// program; the instance tests give their helper processes a scope of their own).
InstanceClaim ClaimInstanceNumber(const std::string& scope = {});

// What a further copy says when every number is taken:
// "It is forbidden to launch more than 20 instance of this application."
std::string InstanceRefusalMessage();
