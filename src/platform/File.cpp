// CFile and CStdioFile over the Platform's raw file calls. Nothing here allocates: the names and
// the stream buffer live in the objects.
#include "platform/File.h"

#include <cstring>

namespace {

constexpr unsigned kWriteFlags = CFile::modeWrite | CFile::modeReadWrite | CFile::modeCreate;

constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kEndOfText = 0x1A;  // Ctrl-Z: the end of a text file

bool isSeparator(char c) {
  return c == '\\' || c == '/';
}

enum class RootKind { none, drive, share };

// Whether a full path starts at a drive ("X:\...") or at a network share ("\\server\...").
RootKind RootOf(const char* fullPath) {
  if (fullPath[0] != '\0' && fullPath[1] == ':' && isSeparator(fullPath[2])) return RootKind::drive;
  if (isSeparator(fullPath[0]) && isSeparator(fullPath[1])) return RootKind::share;
  return RootKind::none;
}

// Length of `text`, counting no further than `limit`.
std::size_t BoundedLength(const char* text, std::size_t limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

// Copies a NUL-terminated name into a path buffer, cut short if it does not fit.
void CopyName(char (&target)[kMaxPath], const char* name) {
  const std::size_t length = name ? BoundedLength(name, kMaxPath - 1) : 0;
  if (length > 0) std::memcpy(target, name, length);
  target[length] = '\0';
}

// The name kept for an open file: the full path, upper-cased where the volume does not keep case,
// and with the file's own name on disk where the volume does not store names in Unicode. False
// when there is no file part to look up or the name on disk does not fit.
bool StoreName(Platform& platform, const char* fullPath, const char* filePart,
               std::uint32_t fileSystemFlags, char (&name)[kMaxPath]) {
  CopyName(name, fullPath);
  if (!(fileSystemFlags & kFsCasePreserved)) platform.upperCase(name);
  if (fileSystemFlags & kFsUnicodeOnDisk) return true;
  if (filePart == nullptr) return false;
  char onDisk[kMaxPath];
  const OsHandle search = platform.findFirstFile(fullPath, onDisk, kMaxPath);
  if (search == kInvalidHandle) return true;
  platform.findClose(search);
  const std::size_t offset = static_cast<std::size_t>(filePart - fullPath);
  const std::size_t length = std::strlen(onDisk);
  if (offset + length >= kMaxPath) return false;
  std::memcpy(name + offset, onDisk, length + 1);
  return true;
}

}  // namespace

// --- CFile ---------------------------------------------------------------------------------------

CFile::CFile(Platform& platform) : platform_(platform) {}

CFile::~CFile() {
  if (IsOpen() && m_bCloseOnDelete) CFile::Abort();
}

// An open that is refused leaves the object closed. Opening an object that is already open is a
// caller's mistake: it is refused and the open file is left as it is.
bool CFile::Open(const char* fileName, unsigned flags) {
  if (IsOpen()) return false;
  MarkClosed();
  if ((flags & kWriteFlags) != 0) return false;
  if (fileName == nullptr || BoundedLength(fileName, kMaxPath) >= kMaxPath) return false;

  char fullPath[kMaxPath];
  char* filePart = nullptr;
  const std::uint32_t length = platform_.fullPathName(fileName, kMaxPath, fullPath, &filePart);
  if (length == 0 || length >= kMaxPath) return false;

  // Only a drive needs to be readable before the file is touched; a network share is left to
  // CreateFileA.
  const RootKind rootKind = RootOf(fullPath);
  std::uint32_t fileSystemFlags = kFsCasePreserved | kFsUnicodeOnDisk;
  if (rootKind == RootKind::none) return false;
  const char driveRoot[] = {fullPath[0], ':', '\\', '\0'};
  if (rootKind == RootKind::drive && !platform_.volumeInformation(driveRoot, fileSystemFlags)) {
    return false;
  }

  if (!StoreName(platform_, fullPath, filePart, fileSystemFlags, m_strFileName)) {
    MarkClosed();
    return false;
  }

  const OsHandle handle =
      platform_.createFile(fileName, kGenericRead, kShareNone, kOpenExisting, kAttributeNormal);
  if (handle == kInvalidHandle) {
    MarkClosed();
    return false;
  }
  m_hFile = handle;
  m_bCloseOnDelete = true;
  return true;
}

void CFile::Close() {
  if (!IsOpen()) return;
  const bool closed = platform_.closeHandle(m_hFile);
  MarkClosed();
  if (!closed) throw CFileException();
}

void CFile::Abort() {
  if (IsOpen()) platform_.closeHandle(m_hFile);
  MarkClosed();
}

void CFile::MarkClosed() {
  m_hFile = kInvalidHandle;
  m_bCloseOnDelete = false;
  m_strFileName[0] = '\0';
}

// --- CStdioFile ----------------------------------------------------------------------------------

CStdioFile::CStdioFile(Platform& platform) : CFile(platform) {}

void CStdioFile::MarkClosed() {
  CFile::MarkClosed();
  atEnd_ = false;
  begin_ = 0;
  end_ = 0;
}

// Line reads: a closed object, or one whose open failed, has nothing to read.
char* CStdioFile::ReadString(char* buffer, unsigned maxBytes, std::size_t* delivered) {
  if (delivered != nullptr) *delivered = 0;
  if (!IsOpen() || maxBytes == 0) return nullptr;
  unsigned count = 0;
  int byte = 0;
  while (count + 1 < maxBytes && ReadByte(byte)) {
    buffer[count++] = static_cast<char>(byte);
    if (byte == kLf) break;
  }
  if (count == 0 && maxBytes > 1) return nullptr;  // end of file: the buffer is not touched
  buffer[count] = '\0';
  if (delivered != nullptr) *delivered = count;
  return buffer;
}

// Called with the buffer used up: what is read becomes its whole content.
bool CStdioFile::Fill(std::uint32_t size) {
  std::uint32_t read = 0;
  if (!platform_.readFile(m_hFile, buffer_, size, read)) throw CFileException();
  begin_ = 0;
  end_ = read;
  return read > 0;
}

// Text mode: CR LF becomes LF, any other CR stays, 0x1A ends the text for good. A CR at the end of
// the buffer reads one byte ahead to see whether an LF follows.
bool CStdioFile::ReadByte(int& byte) {
  if (atEnd_) return false;
  if (begin_ == end_ && !Fill(kStreamBufferSize)) {
    atEnd_ = true;
    return false;
  }
  const char c = buffer_[begin_++];
  if (c == kEndOfText) {
    atEnd_ = true;
    return false;
  }
  if (c == kCr && (begin_ < end_ || Fill(1)) && buffer_[begin_] == kLf) {
    ++begin_;
    byte = kLf;
    return true;
  }
  byte = static_cast<unsigned char>(c);
  return true;
}
