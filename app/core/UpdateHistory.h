// The history of updates, and the files records go into. Qt-free.
//
// Every run, from a window or the terminal, appends its record (UpdateRecord.h) as one line of
// JSON to the history file in the user's state directory:
//   $XDG_STATE_HOME/tarnet-updater/history.jsonl  (~/.local/state/... when XDG_STATE_HOME is unset)
//   %LOCALAPPDATA%\tarnet-updater\history.jsonl   on Windows
// Appending never throws and waits at most about a second: each line goes out in a single write to
// a file opened for appending, with the writers taking turns by a lock on the file that is held for
// that write only (and given up on after a second), so copies that end at the same moment each add
// their whole line. A history whose last line was cut short (a lost write) gets a line break
// before the next record, so the fragment costs only itself. A history that can't be written costs
// the run nothing; the caller decides whether to mention it.
//
// Paths are UTF-8 everywhere (wide system calls on Windows).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "UpdateRecord.h"

// The history file's path; empty when the environment names no state or home directory.
std::string HistoryFilePath();

// Appends `record` to the history file at HistoryFilePath(), creating its folders. False when it
// could not; `error` (when given) then says what failed. The one call a window makes per run.
bool AppendHistory(const UpdateRecord& record, std::string* error = nullptr);
// The same with the history file at `path`.
bool AppendHistoryTo(const std::string& path, const UpdateRecord& record, std::string* error = nullptr);

// How an append had the writers' lock: held for its write or not, and at which attempt it was
// taken (1: at once; attempts are 2 ms apart).
struct HistoryLockUse {
    bool held = false;
    int attempts = 0;
};
// AppendHistoryTo, telling in `lock` how it had the lock.
bool AppendHistoryTo(const std::string& path, const UpdateRecord& record, std::string* error, HistoryLockUse* lock);

struct HistoryContents {
    bool found = false;            // false: no such file (nothing recorded yet) or not readable
    std::string error;             // why it could not be read, when it exists
    std::vector<UpdateRecord> records;  // oldest first
    int unreadableLines = 0;       // lines that hold no record (a cut-off write, a hand edit)
};
HistoryContents ReadHistory(const std::string& path);
// The records of a history's text, one a line (found is true).
HistoryContents HistoryFromText(std::string_view text);

// Writes `text` to `path` through a temporary file in the same folder, flushed to the disk and then
// renamed over `path` (on POSIX the folder is flushed too, so the new name outlasts a power cut):
// an interrupted write leaves either the former file or none, never a part. The temporary takes a
// name that no file has (a leftover of a killed writer is passed over and left alone). On POSIX the
// temporary is made 0600 whatever the umask (a stricter one makes it stricter), so no other user
// can read the text before it is complete; once it is, the file takes the permissions of the one it
// replaces, or for a new one 0644 less the umask (0600 where the system does not tell the umask).
// False when it could not; `error` then says what failed, and `path` is untouched.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error = nullptr);

// The whole file; nullopt when it can't be read.
std::optional<std::string> ReadWholeFile(const std::string& path);
