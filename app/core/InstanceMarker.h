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
// Only a marker that another process holds counts as taken. A failure that says nothing about the
// names (no descriptor or memory left, a full disk, a marker file that can't be opened) is an
// error of the claim, never a reason to take the next number or to count somewhere else.
#pragma once

#include <cstdint>
#include <functional>
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
    InstanceMarkerHandle handle = NO_INSTANCE_MARKER;  // NO_INSTANCE_MARKER: not created
    bool alreadyExists = false;  // another process holds the name; the handle, if any, is not a claim
    // Why the creation failed when no one else holds the name (errno on POSIX, GetLastError() on
    // Windows: out of descriptors or memory, a full disk, no permission, ...); 0 otherwise.
    int error = 0;
};

// Creates the marker `name`. A claim holds while the handle is open.
InstanceMarkerResult CreateInstanceMarker(const std::string& name);
// Closes a handle from CreateInstanceMarker (a held claim is given up).
void CloseInstanceMarker(InstanceMarkerHandle handle);

#ifndef _WIN32
// The directories tried for the calling user's markers, in order (see the top of this file).
std::vector<std::string> InstanceMarkerDirectories();

// Where one start makes its markers.
struct InstanceMarkerPlace {
    // Descriptor of the directory (O_DIRECTORY, close-on-exec); -1 for the system's fallback, or
    // when `error` is set.
    int directory = -1;
    std::string path;  // the directory's path; empty for the fallback
    // Not 0 when no place could be settled: the errno of a failure that says nothing about whether
    // a candidate is usable (no descriptor or memory left, a full disk, an I/O error). The next
    // candidate is not tried then, since another copy, or this one a moment later, would take
    // the first: copies that count in different places can hold the same number.
    int error = 0;
};
// Opens the first of `candidates` that is usable for the calling user's markers, creating it
// (mode 0700, the last path component only) when it is missing. A candidate that is missing
// and can't be made (no parent, no permission, a read-only file system) or that is a link, not
// a directory, another user's, or open to group or others, is passed over; when none is left,
// the place is the system's fallback.
InstanceMarkerPlace OpenInstanceMarkerPlace(const std::vector<std::string>& candidates);
void CloseInstanceMarkerPlace(InstanceMarkerPlace& place);
// Creates the marker `name` in the directory `directory` (from OpenInstanceMarkerPlace); with
// -1, the fallback of the system (Linux: the abstract socket named with the uid; elsewhere none:
// the creation fails with ENOTSUP).
InstanceMarkerResult CreateInstanceMarkerIn(int directory, const std::string& name);
#endif

// The claim of an instance number at start-up.
struct InstanceClaim {
    int number = 0;  // 1..MAX_INSTANCES; 0 when every number is taken, or on an error
    InstanceMarkerHandle handle = NO_INSTANCE_MARKER;  // held until the process ends
    // Not 0 when a marker could not be made for a reason other than another copy holding it (as
    // InstanceMarkerResult::error): the claim ends there, with no number. `place` says where.
    int error = 0;
    std::string place;
};

// Claims the lowest free number from 1 to MAX_INSTANCES: creates the marker of each number in turn
// until one is created afresh. Only a marker that another process holds makes its number taken
// (its handle is closed); any other failure ends the claim with that error. The place of the
// markers is settled once, before the first number, so that every number of one claim is looked
// up in the same place. `scope` is appended to every name as " [scope]" (empty in the program;
// the instance tests give their helper processes a scope of their own).
InstanceClaim ClaimInstanceNumber(const std::string& scope = {});
#ifndef _WIN32
// The same, with the place from `findPlace` (called once; the claim closes what it returns).
InstanceClaim ClaimInstanceNumber(const std::string& scope,
                                  const std::function<InstanceMarkerPlace()>& findPlace);
#endif

// What a further copy says when every number is taken:
// "It is forbidden to launch more than 20 instance of this application."
std::string InstanceRefusalMessage();
// What a copy says when it could not claim a number for `claim.error`:
// "Can't claim an instance number: Too many open files (/run/user/1000/tarnet-updater)."
std::string InstanceClaimErrorMessage(const InstanceClaim& claim);
