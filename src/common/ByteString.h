// Bounded copies of NUL-terminated byte strings into fixed buffers. Each either fits whole with
// its terminator or leaves the buffer unchanged and returns false: a path is never cut short.
#pragma once

#include <cstddef>
#include <cstring>

// Appends `tail` to the string in `buffer` (capacity `size`).
inline bool AppendBytes(char* buffer, std::size_t size, const char* tail) {
  const std::size_t length = std::strlen(buffer);
  const std::size_t tailLength = std::strlen(tail);
  if (length + tailLength >= size) return false;
  std::memcpy(buffer + length, tail, tailLength + 1);
  return true;
}

// Writes `head` followed by `tail` into `buffer` (capacity `size`).
inline bool JoinBytes(char* buffer, std::size_t size, const char* head, const char* tail) {
  const std::size_t headLength = std::strlen(head);
  const std::size_t tailLength = std::strlen(tail);
  if (headLength + tailLength >= size) return false;
  std::memcpy(buffer, head, headLength);
  std::memcpy(buffer + headLength, tail, tailLength + 1);
  return true;
}
