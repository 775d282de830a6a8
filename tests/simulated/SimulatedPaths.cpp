// Paths and the ANSI code page of the simulated Windows.
#include "simulated/SimulatedPaths.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace simulated {
namespace {

// "." and ".." applied (never above the root); a single period ending a component is dropped.
void appendComponent(Path& path, std::string part) {
  if (part == ".") return;
  if (part == "..") {
    if (!path.parts.empty()) path.parts.pop_back();
    return;
  }
  if (part.size() >= 2 && part.back() == '.' && part[part.size() - 2] != '.') part.pop_back();
  path.parts.push_back(part);
}

// The last component loses its trailing periods and spaces (unless written with a backslash).
void trimLastComponent(Path& path) {
  if (path.trailing || path.parts.empty()) return;
  std::string& last = path.parts.back();
  while (!last.empty() && (last.back() == '.' || last.back() == ' ')) last.pop_back();
  if (last.empty()) {
    path.parts.pop_back();
    path.trailing = true;
  }
}

// Splits "\\server\share\rest" into its root and the rest (which keeps its leading separator).
bool splitUnc(CodePage cp, const std::string& name, Path& base, std::string& rest) {
  const std::size_t serverEnd = nextSeparator(cp, name, 2);
  if (serverEnd == 2) return false;
  base.root = "\\\\" + name.substr(2, serverEnd - 2);
  std::size_t shareEnd = serverEnd;
  if (serverEnd < name.size()) {
    shareEnd = nextSeparator(cp, name, serverEnd + 1);
    if (shareEnd > serverEnd + 1)
      base.root += "\\" + name.substr(serverEnd + 1, shareEnd - serverEnd - 1);
  }
  rest = name.substr(std::min(shareEnd, name.size()));
  return true;
}

}  // namespace

std::size_t charWidth(CodePage cp, const std::string& text, std::size_t i) {
  return cp.isLead(text[i]) && i + 1 < text.size() ? 2 : 1;
}

std::size_t nextSeparator(CodePage cp, const std::string& text, std::size_t from) {
  for (std::size_t i = from; i < text.size(); i += charWidth(cp, text, i)) {
    if (isSeparator(text[i])) return i;
  }
  return text.size();
}

std::size_t fileNameOffset(CodePage cp, const std::string& text) {
  std::size_t offset = 0;
  for (std::size_t i = 0; i < text.size(); i += charWidth(cp, text, i)) {
    if (isSeparator(text[i])) offset = i + 1;
  }
  return offset;
}

bool endsWithSeparator(CodePage cp, const std::string& text) {
  return !text.empty() && fileNameOffset(cp, text) == text.size();
}

std::vector<std::string> splitComponents(CodePage cp, const std::string& text) {
  std::vector<std::string> parts;
  for (std::size_t begin = 0; begin < text.size();) {
    const std::size_t end = nextSeparator(cp, text, begin);
    if (end > begin) parts.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

std::string folded(CodePage cp, std::string text) {
  for (std::size_t i = 0; i < text.size(); i += charWidth(cp, text, i)) text[i] = cp.upper(text[i]);
  return text;
}

// Bytes as a C-like literal, cut short after `limit` bytes.
std::string quoted(const std::string& bytes, std::size_t limit) {
  std::ostringstream out;
  out << '"';
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') {
      out << "\\r";
    } else if (c == '\n') {
      out << "\\n";
    } else if (c == '\\' || c == '"') {
      out << '\\' << bytes[i];
    } else if (c < 0x20 || c >= 0x7F) {
      out << "\\x" << std::hex << std::uppercase << (c >> 4) << (c & 0xF) << std::dec;
    } else {
      out << bytes[i];
    }
  }
  out << '"';
  if (bytes.size() > limit) out << "... (" << bytes.size() << " bytes)";
  return out.str();
}

std::string hex(std::uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << std::uppercase << value;
  return out.str();
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::uint32_t copyOut(const std::string& text, std::uint32_t size, char* buffer) {
  if (text.size() + 1 > size) return static_cast<std::uint32_t>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<std::uint32_t>(text.size());
}

std::string driveRoot(char letter) {
  return std::string{letter, ':', '\\'};
}

std::optional<Path> resolvePath(CodePage cp, const std::string& name, const Path& cwd) {
  if (name.empty()) return std::nullopt;
  Path base;
  std::string rest;
  if (name.size() >= 2 && isSeparator(name[0]) && isSeparator(name[1])) {
    if (!splitUnc(cp, name, base, rest)) return std::nullopt;
  } else if (name.size() >= 2 && isAsciiLetter(name[0]) && name[1] == ':') {
    const bool absolute = name.size() >= 3 && isSeparator(name[2]);
    const bool onCwdDrive = cwd.onDrive() && upperAscii(cwd.root[0]) == upperAscii(name[0]);
    base = !absolute && onCwdDrive ? cwd : Path{driveRoot(name[0]), {}, false};
    rest = name.substr(2);
  } else if (isSeparator(name[0])) {
    base.root = cwd.root;
    rest = name;
  } else {
    base = cwd;
    rest = name;
  }
  for (const std::string& part : splitComponents(cp, rest)) appendComponent(base, part);
  base.trailing = endsWithSeparator(cp, name);
  trimLastComponent(base);
  return base;
}

std::optional<Path> parseRoot(CodePage cp, const std::string& text, const Path& cwd) {
  if (text.size() == 2 && isAsciiLetter(text[0]) && text[1] == ':')
    return Path{driveRoot(text[0]), {}, false};
  if (!endsWithSeparator(cp, text)) return std::nullopt;
  std::optional<Path> path = resolvePath(cp, text, cwd);
  if (!path || !path->isRoot()) return std::nullopt;
  const bool absolute = path->onDrive() ? text.size() == 3 : startsWith(text, "\\\\");
  if (!absolute) return std::nullopt;
  return path;
}

std::string programName(const std::string& commandLine) {
  if (!commandLine.empty() && commandLine[0] == '"') {
    const std::size_t end = commandLine.find('"', 1);
    return commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return commandLine.substr(0, commandLine.find_first_of(" \t"));
}

}  // namespace simulated
