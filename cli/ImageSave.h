// The saving of a whole flash image (--read, --backup): never half a file
// under the name asked for, never a link, FIFO or device node replaced by a
// plain file, and never an existing backup replaced.
#pragma once

#include <string>
#include <vector>

// How a saved image may meet what its path names already. kReplace (--read):
// a symbolic link is followed to its target, a regular file there is
// replaced, an absent one created; a folder, FIFO, device node or socket is
// refused. kNewFile (a backup): the path must name nothing at all, not even
// a link; an existing backup is never replaced.
enum class SaveMode { kReplace, kNewFile };

// Whether `path` can take a saved image under `mode`, without touching it;
// false with `*error` naming why not.
bool CheckSaveTarget(const std::string& path, SaveMode mode, std::string* error);

// Writes `bytes` to `path` (or the target of its links) through a temporary
// file beside it, flushed to the disk and then renamed over the target
// (kReplace) or linked to its name (kNewFile, which fails when the name was
// taken meanwhile). False with `*error` when it cannot, leaving `path` as it
// was and no temporary file behind. SIGINT, SIGTERM, SIGHUP and SIGQUIT wait
// until the file is complete or removed; one that came meanwhile then ends
// the program as it would have.
bool SaveImageFile(const std::string& path, const std::vector<unsigned char>& bytes,
                   std::string* error, SaveMode mode = SaveMode::kReplace);
