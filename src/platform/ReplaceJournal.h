// The journal of a rewrite in place, beside the file: what the next start needs to put the old
// bytes back where a power cut tore the rewrite, and to know that the file is the one it was
// written for.
//
// On disk: "ZRKJ", the old size and the new size (each 32 bits, least significant byte first),
// the new bytes, the old bytes, and the checksum of the new bytes, the old bytes and those 12
// bytes. It is flushed before the rewrite touches the file and removed after the rewrite's last
// flush, so that a whole journal beside a file that holds neither the new bytes nor the old ones
// tells of a rewrite that a cut tore.
#pragma once

#include <cstddef>

#include "platform/ReplaceSupport.h"

// Makes the journal at `journalPath` of a rewrite of the open `file` to `size` new `bytes`, and
// flushes it: its handle, kept open (exclusive) until the rewrite is over, or kInvalidHandle where
// none could be made, with nothing left behind that can be removed. `present` tells that a journal
// is there already (another launcher's rewrite, or one a start could not apply): beside it the
// file is not to be rewritten at all. Otherwise (a folder that takes no new files, a full disk)
// the rewrite may go on without one.
OsHandle WriteJournal(Platform& os, const char* journalPath, OsHandle file, const char* bytes,
                      std::size_t size, bool& present);

// Settles, at the next start, what the journal at `journalPath` tells of the file at `path`:
// - a journal that is not whole was cut while it was written, before the file was touched: it
//   goes;
// - beside a file that holds the new bytes, or anything but the old bytes, the new ones or a mix
//   a cut may leave of them (another program wrote the file since), it goes and the file stays;
// - beside a cut mix, the old bytes are put back, and the old end; a file the cut left without
//   its name is made anew with them; then it goes.
// Opens wait out another program's short hold. True when the file may be read; false where a
// journal that may hold what the file needs could not be read or applied (held for good, a disk
// that fails): it stays, and the file may be torn.
bool RollBack(Platform& os, const char* journalPath, const char* path);
