// Paths and the ANSI code page as the simulated Windows reads them: pure functions of byte
// strings, nothing on disk consulted.
//
// The simulation parses paths with this code of its own, apart from the launcher's File.cpp, on
// purpose: the two are written from the Windows rules separately, so that a mistake in one shows
// up as a difference from the other instead of being checked against itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simulated {

inline bool isSeparator(char c) {
  return c == '\\' || c == '/';
}

inline bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline char upperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The system's ANSI code page, the one of every path: 932 (Japanese), whose double-byte characters
// start with a lead byte, or 1252 (Western), one byte a character.
struct CodePage {
  std::uint32_t id = 932;

  // IsDBCSLeadByte.
  bool isLead(char c) const {
    const auto byte = static_cast<unsigned char>(c);
    return id == 932 && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
  }
  // CharUpperA of a single-byte character: ASCII letters, and in 1252 the accented ones too.
  char upper(char c) const {
    const auto byte = static_cast<unsigned char>(c);
    if (id == 1252) {
      if ((byte >= 0xE0 && byte <= 0xFE && byte != 0xF7)) return static_cast<char>(byte - 0x20);
      if (byte == 0x9A || byte == 0x9C || byte == 0x9E) return static_cast<char>(byte - 0x10);
      if (byte == 0xFF) return static_cast<char>(0x9F);
    }
    return upperAscii(c);
  }
};

// Width in bytes of the character at `i`: 2 for a lead byte with its trail byte, else 1. A trail
// byte may be 0x5C, which is then no backslash.
std::size_t charWidth(CodePage cp, const std::string& text, std::size_t i);
// Index of the first separator at or after `from` (a character boundary), or text.size().
std::size_t nextSeparator(CodePage cp, const std::string& text, std::size_t from);
// Index just past the last separator, or 0.
std::size_t fileNameOffset(CodePage cp, const std::string& text);
bool endsWithSeparator(CodePage cp, const std::string& text);
// The non-empty components between separators.
std::vector<std::string> splitComponents(CodePage cp, const std::string& text);
// Letters upper-cased as the file system compares names, trail bytes of double-byte characters
// left alone.
std::string folded(CodePage cp, std::string text);

// Names holding characters that the code page cannot spell. Windows keeps every name in UTF-16;
// the simulation keeps names as code page bytes, and each UTF-16 unit that the code page has no
// bytes for as kUnspellable followed by the unit in four upper-case hex digits. kUnspellable is a
// control character, which Windows takes in no name: no name an *A call gives reaches such a
// name, except through its short name.
inline constexpr char kUnspellable = '\x01';

// The kept form of UTF-16 text: each character in the code page's bytes where the code page has
// it exactly, the others marked.
std::string keptForm(CodePage cp, const std::u16string& wide);
// The UTF-16 form of a kept name (MultiByteToWideChar for the code page's bytes). Bytes that are
// no character of the code page become U+FFFD.
std::u16string wideForm(CodePage cp, const std::string& kept);
// A kept name as the *A calls answer it: each marked character as its best fit where the code
// page has one ("l" for "ł" in 1252), otherwise '?'.
std::string ansiForm(CodePage cp, const std::string& kept);
// WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS): each character without an exact equivalent
// becomes '?', and sets `usedDefault`.
std::string toAnsiExactly(CodePage cp, const std::u16string& wide, bool& usedDefault);

// Bytes as a C-like literal in double quotes, cut short after `limit` bytes, for messages.
std::string quoted(const std::string& bytes, std::size_t limit = 80);
// "0x" and the value in upper-case hex, for the call log.
std::string hex(std::uint64_t value);
bool startsWith(const std::string& text, const std::string& prefix);
// Copies `text` with its terminator into a buffer of `size` bytes as the *A calls do: the length
// copied, or the size needed (terminator included) when it does not fit.
std::uint32_t copyOut(const std::string& text, std::uint32_t size, char* buffer);

// A full path: a root, the components below it, and whether it was written with a final
// backslash.
struct Path {
  std::string root;  // "C:\" or "\\server\share"
  std::vector<std::string> parts;
  bool trailing = false;

  bool onDrive() const { return root.size() == 3 && root[1] == ':'; }
  int driveIndex() const { return upperAscii(root[0]) - 'A'; }
  bool isRoot() const { return parts.empty(); }

  std::string text() const {
    std::string s = root;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (i > 0 || !onDrive()) s += '\\';
      s += parts[i];
    }
    if (trailing && !(onDrive() && parts.empty())) s += '\\';
    return s;
  }
  // Identity of the file or folder: case folded, no final backslash.
  std::string key(CodePage cp) const {
    Path bare = *this;
    bare.trailing = false;
    return folded(cp, bare.text());
  }
  std::string volumeKey(CodePage cp) const { return folded(cp, root); }
  Path parent() const {
    Path p{root, parts, false};
    if (!p.parts.empty()) p.parts.pop_back();
    return p;
  }
  Path child(const std::string& name) const {
    Path p{root, parts, false};
    p.parts.push_back(name);
    return p;
  }
  // The root as the volume calls take it: "C:\" or "\\server\share\".
  Path rootPath() const { return Path{root, {}, false}; }
  std::string rootText() const { return Path{root, {}, true}.text(); }
};

// A drive root keeps the case its letter was written with, as GetFullPathNameA keeps it.
std::string driveRoot(char letter);
// GetFullPathNameA's resolution against the current directory `cwd`: absolute "X:\..." names,
// drive-relative "X:name" (against `cwd` on its own drive, the root elsewhere), rooted "\name",
// relative names, and UNC "\\server\share\..."; repeated separators collapse. Nothing on disk is
// consulted. Nullopt for an empty or unusable name.
std::optional<Path> resolvePath(CodePage cp, const std::string& name, const Path& cwd);
// A drive or share root as GetDriveTypeA and GetVolumeInformationA take it: "X:\", "X:", or
// "\\server\share\".
std::optional<Path> parseRoot(CodePage cp, const std::string& text, const Path& cwd);
// The program name at the start of a command line: quoted, or up to the first blank.
std::string programName(const std::string& commandLine);

}  // namespace simulated
