// Bounded copies of NUL-terminated byte strings into fixed buffers. Each either fits whole with
// its terminator or leaves the buffer unchanged and returns false: a path is never cut short.
#pragma once

#include <cstddef>
#include <cstring>

// The last backslash of a path that is a separator, or nullptr. `isLeadByte` tells, by the code
// page the path is in, whether a byte starts a two-byte character, whose second byte may be 0x5C
// without being a backslash.
template <typename LeadByteTest>
char* LastSeparator(char* path, LeadByteTest isLeadByte) {
  char* last = nullptr;
  for (char* p = path; *p != '\0'; ++p) {
    if (*p == '\\') {
      last = p;
    } else if (isLeadByte(*p) && p[1] != '\0') {
      ++p;
    }
  }
  return last;
}

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
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the tail brings the terminator
  std::memcpy(buffer, head, headLength);
  std::memcpy(buffer + headLength, tail, tailLength + 1);
  return true;
}
