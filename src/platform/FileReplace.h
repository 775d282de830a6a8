// Replacing the whole content of a file so that it holds, at every moment another program can
// see, either all of its old bytes or all of the new ones.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

// How long a refused rename is tried again: a scanner or indexer that opens a new file for a
// moment, or another launcher that reads the file, is gone well within half a second.
inline constexpr int kReplaceRetries = 10;
inline constexpr std::uint32_t kReplaceRetryPauseMs = 50;
// The largest file that the in-place rewrite can put back as it was.
inline constexpr std::size_t kRestorableSize = std::size_t{64} * 1024;
// The prefix of the temporary files, "ZRKxxxx.TMP".
inline constexpr char kTempPrefix[] = "ZRK";

// Replaces the content of the file at `path` with `size` bytes, writing them first into a new
// file of a unique name in `folder` (the file's own folder, ending in a backslash) and renaming
// that over the file. Where no such file can be made or the rename is refused for good, rewrites
// the file in place and puts the old bytes back if that fails. A file that an exclusive
// CREATE_ALWAYS open would refuse (read-only, hidden, system, a folder, open in another program)
// is left alone. True when the file holds the new bytes. Never leaves a temporary file behind
// where it can be removed.
bool ReplaceFileContent(Platform& os, const char* folder, const char* path, const char* bytes,
                        std::size_t size);
