// Replacing the whole content of a file so that it holds, at every moment another program can
// see, either all of its old bytes or all of the new ones, and so that a launcher killed, or a
// machine that loses its power, at any instant leaves it so once the next start has recovered
// what the cut left (RecoverReplace).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

// How long a refused rename is tried again: a scanner or indexer that opens a new file for a
// moment, or another launcher that reads the file, is gone well within half a second.
inline constexpr int kReplaceRetries = 10;
inline constexpr std::uint32_t kReplaceRetryPauseMs = 50;
// The most bytes one replace writes. The settings file's keyed form, 61 lines of at most 273
// bytes on disk, takes about 16 KiB; a rewrite in place keeps as many old bytes on the stack.
inline constexpr std::size_t kMaxReplacedSize = std::size_t{20} * 1024;
// The prefix of the new files, "Zrkxxxx.TMP": in mixed case, a long name on FAT, which takes as
// many directory entries as the settings file's own name (an 8.3 name takes fewer).
inline constexpr char kTempPrefix[] = "Zrk";
// The journal of a rewrite in place, beside the file.
inline constexpr char kJournalName[] = "ZRK.JNL";

// Replaces the content of the file at `path` with `size` bytes (at most kMaxReplacedSize).
//
// A plain file on a volume that keeps a journal of its names (NTFS, ReFS) gets the new bytes in a
// new file of a unique name in `folder` (the file's own folder, ending in a backslash; `path` is a
// name in it), flushed, then renamed over it. A file that a rename would change more than the
// content of, because it has another name (a hard link) or is itself elsewhere (a symbolic link to
// it, a redirected file), is rewritten in place, as is a file on FAT or exFAT, whose renames a cut
// can leave half done, and any file where no new file can be made or the rename is refused for
// good; a folder reached by its short name, a subst or mapped drive or a junction changes nothing
// of that. A rewrite in place puts the old bytes back when it fails, and keeps the old and the new
// bytes in a journal beside the file until it is done; beside a journal that is there already it
// writes nothing. A file that an exclusive CREATE_ALWAYS open would refuse (read-only, hidden,
// system, behind a link or not, a folder, open in another program) is left alone. True when the
// file holds the new bytes.
//
// What a kill or a power cut at any instant leaves, once the next start's RecoverReplace has run:
// - NTFS: the old bytes or the new ones, through a new file and in place with a journal;
// - FAT32 and exFAT: the same, in place with a journal; through a new file (where no journal can
//   be made, or the system cannot tell the file system: before Vista) as far as the driver's
//   order of sector writes goes, which a folder with a history can defeat on FAT32;
// - anywhere in place without a journal (a folder that takes no new files): the file may be torn,
//   new bytes up to where the write had come and old ones after; on exFAT, where the file's
//   directory entries straddle a sector, it may be gone.
// At most one new file, or the journal, is left behind, which that start removes; a kill or cut
// leaves nothing else. A normal end leaves nothing behind, nor does a failure, but where a removal
// fails for good or the last flush of a rewrite in place fails (its journal then stays for the
// next start).
bool ReplaceFileContent(Platform& os, const char* folder, const char* path, const char* bytes,
                        std::size_t size);

// Whether `size` bytes are a whole content as the caller's replaces write it.
using WholeContent = bool (*)(const char* bytes, std::size_t size);

// Puts right, before the file at `path` in `folder` is read, what a crash or power cut in the
// middle of a replace left there: a rewrite in place that a cut tore is rolled back by its
// journal; the file missing while a new file holds a whole content (`isWhole`) gets that content
// back under its name; every other new file is removed. Touches no file but those named as a
// replace names its new files and journal. Opens wait out another program's short hold. False
// where a journal that may hold what the file needs could not be read or applied: the file may
// then be torn, and is not to be read.
bool RecoverReplace(Platform& os, const char* folder, const char* path, WholeContent isWhole);
