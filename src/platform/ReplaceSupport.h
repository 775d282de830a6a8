// What the ways of replacing a file's content, its journal and the recovery at the next start
// share: whole reads and writes, the judgement of a flush, the waiting out of another program's
// short hold, and the checksum. Nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/FileReplace.h"

inline constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;
inline constexpr std::size_t kChunkSize = 4096;

// Whether the bytes written through `file` count as on the disk. A volume or filter that cannot
// flush at all answers ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED or ERROR_CALL_NOT_IMPLEMENTED:
// there a write that never flushes, as the plain CREATE_ALWAYS write does, succeeds, and so this
// one counts as done. Any other failure (a full disk, a network drive gone) means the bytes may
// not be there: the write failed. Every flush of a replace is judged here.
bool Flushed(Platform& os, OsHandle file);

// WriteFile until every byte is taken. A full disk shows as a short count or as a failure.
bool WriteAll(Platform& os, OsHandle file, const char* bytes, std::size_t size);

// ReadFile until exactly `size` bytes are in.
bool ReadAll(Platform& os, OsHandle file, char* bytes, std::size_t size);

// FNV-1a, 32 bits, continued from `hash`.
std::uint32_t Checksum(const char* bytes, std::size_t size, std::uint32_t hash = 2166136261u);

// Runs `attempt` until it succeeds, trying again after a pause while it fails with a sharing
// violation or access denied: another program that holds a file for a moment. Any other failure,
// or the last try, ends it, with that failure's error.
template <typename Attempt>
bool Retried(Platform& os, Attempt attempt) {
  for (int retry = 0;; ++retry) {
    if (attempt()) return true;
    const std::uint32_t error = os.lastError();
    if ((error != kErrorAccessDenied && error != kErrorSharingViolation) ||
        retry == kReplaceRetries) {
      return false;
    }
    os.pause(kReplaceRetryPauseMs);
  }
}

// CreateFileA of an existing file, waited for while another program holds it for a moment:
// kInvalidHandle, with the system's error, when it cannot be had.
OsHandle OpenWaiting(Platform& os, const char* path, std::uint32_t access);
