// Crash-safe replacement of a small file: the new text goes to a temporary
// beside it, is synced and renamed over the old file, so a reader (or the
// next start after a power cut) sees either the old or the new text, whole.
#ifndef GIMBALHUB_SAFE_WRITE_H
#define GIMBALHUB_SAFE_WRITE_H

#include <string>

namespace storage {

enum class WriteResult {
    Written,
    OpenFailed,   // the temporary could not be created; nothing changed
    WriteFailed,  // writing, syncing or renaming failed; the old file is intact
};

// Replaces `path` with `text` through "<path>.tmp". The temporary is created
// exclusively and never through a link: a stale one (a crash, or something
// planted there) is unlinked first, never opened. The new file keeps the
// permission bits of the old one, or is owner-only when there was none.
WriteResult replaceFile(const std::string &path, const std::string &text);

}  // namespace storage

#endif  // GIMBALHUB_SAFE_WRITE_H
