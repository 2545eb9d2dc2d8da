// Files that become visible under their final name only complete and on disk: the version file, the
// restored package and the patched package are built beside their target and renamed over it.
//
// The new file is unnamed while it is written (O_TMPFILE) where the file system allows it, so a process
// killed meanwhile leaves nothing behind; it gets a temporary name only for the moment between the link
// and the rename. Elsewhere it is a named temporary file from the start. Either way it is created with
// mode 0600 and gets its final mode just before it is flushed. Named temporaries of the same pattern
// that an earlier, killed writer left are removed on the next write.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/raii.h"

namespace tbox::files {

// The directory part of `path` ("." when it has none).
std::string directory_of(const std::string &path);

// Flushes the directory entries of `dir` to disk. false (errno set) when it cannot be opened or flushed.
bool sync_directory(const std::string &dir);

// Flushes a file's data to disk by path, for a file that is renamed rather than rewritten.
bool sync_file(const char *path);

// The process's file mode creation mask, read without changing it (other threads may be creating files).
mode_t creation_mask();

// How the temporary names beside a target look; stale files are recognised by their exact pattern.
enum class TempNames {
    kSuffix,  // "<target base name>.XXXXXX", X one of [A-Za-z0-9] (as mkstemp makes them)
    kPatch,   // ".bspatch-<pid>-<counter>-<hex>"
};

// A temporary of the pattern left longer ago than this (by its modification time, either way) is stale:
// a live writer touches its file far more often, and keeps it named for a moment only where it can.
inline constexpr long kStaleSeconds = 60;

// Whether `name` (a base name) is a temporary name of `names` for the target base name `target`.
bool is_temp_name(const std::string &name, const std::string &target, TempNames names);

// The new contents of `target`, written through fd(). Dropped (never visible) unless commit() succeeds.
class NewFile {
public:
    NewFile(std::string target, TempNames names);
    ~NewFile();
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;

    // Removes stale temporaries beside the target, then creates the new file. false (errno set) on failure.
    bool open();
    int fd() const { return fd_.get(); }
    // Gives the file `mode`, flushes it, renames it over the target and flushes the directory. false
    // (errno set) on failure; the target then is the old one unless only the directory flush failed.
    bool commit(mode_t mode);

private:
    bool give_temp_name();
    std::string next_name();
    void remove_stale() const;

    std::string target_;
    std::string base_;
    TempNames names_;
    UniqueFd dir_;
    UniqueFd fd_;
    bool unnamed_ = false;
    std::string temp_;  // the current temporary name in dir_, "" while none
};

}  // namespace tbox::files
