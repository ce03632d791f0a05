// Markers that tell running copies of the program apart, one per instance number.
//
// A marker is created under a name; creation is atomic (one process holds a given name), tells a
// second claimant that the name exists, and the marker vanishes by itself when the holding process
// ends, however it ends (the kernel drops it with the process's last descriptor, before the parent
// has reaped it).
//   Windows:  a named mutex, initially owned. Named mutexes live in the session's namespace, so the
//             copies of each logged-on user count on their own.
//   POSIX:    an exclusive advisory lock (flock) on the file "<name>.lock" in a directory of the
//             user's own: a name is the same for every user, but each user's markers live where no
//             one else can create, delete or hold a file, so two users each get number 1 and no
//             user can hold another's numbers. The directory is the first usable of
//             "$XDG_RUNTIME_DIR/tarnet-updater", "/run/user/<uid>/tarnet-updater" (both in memory)
//             and "/tmp/tarnet-updater-<uid>"; usable means a real directory (not a link) owned by
//             the user with no access for group or others, created with mode 0700 when missing.
//             The descriptors are close-on-exec, so a child process keeps no number alive.
//   Linux, when no such directory can be had (all three missing, unwritable or taken by another
//             user): a Unix socket bound in the abstract namespace under "<name> [uid <uid>]".
//             Still one set per user, but the abstract namespace has no permissions, so there any
//             local user could hold the names; it serves only where the directories fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

#ifndef _WIN32
// The directories tried for the calling user's markers, in order (see the top of this file).
std::vector<std::string> InstanceMarkerDirectories();
// Opens the first of `candidates` that is usable for the calling user's markers, creating it
// (mode 0700, the last path component only) when it is missing; a descriptor of the directory
// (O_DIRECTORY, close-on-exec), or -1 when none is usable.
int OpenInstanceMarkerDirectory(const std::vector<std::string>& candidates);
// Creates the marker `name` in the directory `directory` (from OpenInstanceMarkerDirectory); with
// -1, the fallback of the system (Linux: the abstract socket named with the uid; elsewhere none:
// the creation fails).
InstanceMarkerResult CreateInstanceMarkerIn(int directory, const std::string& name);
#endif

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
