// CFile and CStdioFile over the Platform's raw file calls. Nothing here allocates: the names and
// the stream buffer live in the objects.
#include "platform/File.h"

#include <cstring>

#include "common/ByteString.h"

namespace {

// Windows error codes that name a cause of their own.
constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
constexpr std::uint32_t kErrorInvalidDrive = 15;
constexpr std::uint32_t kErrorCurrentDirectory = 16;
constexpr std::uint32_t kErrorWriteProtect = 19;
constexpr std::uint32_t kErrorSeek = 25;
constexpr std::uint32_t kErrorReadFault = 30;
constexpr std::uint32_t kErrorLockViolation = 33;
constexpr std::uint32_t kErrorHandleEof = 38;
constexpr std::uint32_t kErrorBadNetName = 67;
constexpr std::uint32_t kErrorNegativeSeek = 131;
constexpr std::uint32_t kErrorDirNotEmpty = 145;
constexpr std::uint32_t kErrorFilenameExcedRange = 206;

constexpr std::uint32_t kFileShareNone = 0;

constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kEndOfText = 0x1A;  // Ctrl-Z: the end of a text file

struct CauseOfError {
  std::uint32_t error;
  int cause;
};

constexpr CauseOfError kCauses[] = {
    {kErrorFileNotFound, CFileException::fileNotFound},
    {kErrorPathNotFound, CFileException::badPath},
    {kErrorInvalidDrive, CFileException::badPath},
    {kErrorBadNetPath, CFileException::badPath},
    {kErrorBadNetName, CFileException::badPath},
    {kErrorInvalidName, CFileException::badPath},
    {kErrorFilenameExcedRange, CFileException::badPath},
    {kErrorDirectory, CFileException::badPath},
    {kErrorTooManyOpenFiles, CFileException::tooManyOpenFiles},
    {kErrorAccessDenied, CFileException::accessDenied},
    {kErrorWriteProtect, CFileException::accessDenied},
    {kErrorFileExists, CFileException::accessDenied},
    {kErrorAlreadyExists, CFileException::accessDenied},
    {kErrorInvalidHandle, CFileException::invalidFile},
    {kErrorCurrentDirectory, CFileException::removeCurrentDir},
    {kErrorDirNotEmpty, CFileException::removeCurrentDir},
    {kErrorSeek, CFileException::badSeek},
    {kErrorNegativeSeek, CFileException::badSeek},
    {kErrorNotReady, CFileException::hardIO},
    {kErrorCrc, CFileException::hardIO},
    {kErrorWriteFault, CFileException::hardIO},
    {kErrorReadFault, CFileException::hardIO},
    {kErrorSharingViolation, CFileException::sharingViolation},
    {kErrorLockViolation, CFileException::lockViolation},
    {kErrorHandleDiskFull, CFileException::diskFull},
    {kErrorDiskFull, CFileException::diskFull},
    {kErrorHandleEof, CFileException::endOfFile},
};

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
  if (!platform.findFileName(fullPath, onDisk, kMaxPath)) return true;
  const std::size_t offset = static_cast<std::size_t>(filePart - fullPath);
  const std::size_t length = std::strlen(onDisk);
  if (offset + length >= kMaxPath) return false;
  std::memcpy(name + offset, onDisk, length + 1);
  return true;
}

std::uint32_t AccessOf(unsigned flags) {
  if (flags & CFile::modeReadWrite) return kGenericRead | kGenericWrite;
  return (flags & CFile::modeWrite) ? kGenericWrite : kGenericRead;
}

}  // namespace

// --- CFileException
// -------------------------------------------------------------------------------

CFileException::CFileException(int cause, std::uint32_t osError, const char* fileName)
    : m_cause(cause), m_lOsError(osError) {
  CopyName(m_strFileName, fileName);
}

int CFileException::OsErrorToException(std::uint32_t osError) {
  if (osError == 0) return none;
  for (const CauseOfError& entry : kCauses) {
    if (entry.error == osError) return entry.cause;
  }
  return genericException;
}

// --- CFile ---------------------------------------------------------------------------------------

CFile::CFile(Platform& platform) : platform_(platform) {}

CFile::~CFile() {
  if (IsOpen() && m_bCloseOnDelete) CFile::Abort();
}

bool CFile::Open(const char* fileName, unsigned flags) {
  return OpenHandle(fileName, flags);
}

// An open that is refused leaves the object closed. Opening an object that is already open is a
// caller's mistake: it is refused and the open file is left as it is.
bool CFile::OpenHandle(const char* fileName, unsigned flags) {
  if (IsOpen()) return false;
  MarkClosed();
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

  const std::uint32_t disposition = (flags & modeCreate) ? kCreateAlways : kOpenExisting;
  const OsHandle handle = platform_.createFile(fileName, AccessOf(flags), kFileShareNone,
                                               disposition, kAttributeNormal);
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
  if (platform_.closeHandle(m_hFile)) {
    MarkClosed();
    return;
  }
  const std::uint32_t error = platform_.lastError();
  // The exception keeps the file's name, which closing the object clears.
  const CFileException failure(CFileException::OsErrorToException(error), error, m_strFileName);
  MarkClosed();
  throw failure;  // NOLINT(cert-err09-cpp,cert-err61-cpp): thrown by value, caught by reference
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

CStdioFile::~CStdioFile() {
  if (IsOpen() && m_bCloseOnDelete) CStdioFile::Abort();
}

// A stream reads or writes, not both: a read-write open is refused once the handle is open.
bool CStdioFile::Open(const char* fileName, unsigned flags) {
  if (IsOpen()) return false;
  ResetStream();
  if (!OpenHandle(fileName, flags)) return false;
  if (flags & modeReadWrite) {
    CFile::Abort();
    return false;
  }
  streamOpen_ = true;
  writing_ = (flags & modeWrite) != 0;
  text_ = (flags & typeBinary) == 0;
  return true;
}

void CStdioFile::Close() {
  if (!IsOpen()) return ResetStream();
  std::uint32_t error = 0;
  bool failed = streamOpen_ && writing_ && !WriteOut(error);
  if (!platform_.closeHandle(m_hFile) && !failed) {
    failed = true;
    error = platform_.lastError();
  }
  if (!failed) {
    MarkClosed();
    return ResetStream();
  }
  const CFileException failure(CFileException::diskFull, error, m_strFileName);
  MarkClosed();
  ResetStream();
  throw failure;  // NOLINT(cert-err09-cpp,cert-err61-cpp): thrown by value, caught by reference
}

void CStdioFile::Abort() {
  ResetStream();
  CFile::Abort();
}

void CStdioFile::Flush() {
  if (!streamOpen_ || !writing_) return;
  std::uint32_t error = 0;
  if (!WriteOut(error)) throw CFileException(CFileException::diskFull, error, m_strFileName);
  if (!platform_.flushFile(m_hFile)) {
    throw CFileException(CFileException::diskFull, platform_.lastError(), m_strFileName);
  }
}

// Line reads: a closed object, or one whose open failed, has nothing to read.
char* CStdioFile::ReadString(char* buffer, unsigned maxBytes, std::size_t* delivered) {
  if (buffer == nullptr) throw CInvalidArgException();
  if (delivered != nullptr) *delivered = 0;
  if (!streamOpen_ || writing_ || maxBytes == 0) return nullptr;
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

// Writes to a closed object, or one whose open failed, go nowhere.
void CStdioFile::WriteString(const char* text) {
  if (text == nullptr) throw CInvalidArgException();
  if (!streamOpen_) return;
  if (!writing_) throw CFileException(CFileException::diskFull, kErrorAccessDenied, m_strFileName);
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == kLf && text_) Put(kCr);
    Put(*p);
  }
}

bool AppendTextModeBytes(char* image, std::size_t size, std::size_t& length, const char* text) {
  std::size_t end = length;
  for (const char* p = text; *p != '\0'; ++p) {
    if (end + (*p == kLf ? 2 : 1) > size) return false;
    if (*p == kLf) image[end++] = kCr;
    image[end++] = *p;
  }
  length = end;
  return true;
}

void CStdioFile::ResetStream() {
  streamOpen_ = false;
  writing_ = false;
  text_ = true;
  atEnd_ = false;
  begin_ = 0;
  end_ = 0;
}

bool CStdioFile::FillBuffer() {
  std::uint32_t read = 0;
  if (!platform_.readFile(m_hFile, buffer_, kStreamBufferSize, read)) {
    throw CFileException(CFileException::genericException, platform_.lastError(), m_strFileName);
  }
  begin_ = 0;
  end_ = read;
  return read > 0;
}

// Called with the buffer used up: the byte read becomes the only one in it.
bool CStdioFile::ReadAhead() {
  std::uint32_t read = 0;
  if (!platform_.readFile(m_hFile, buffer_, 1, read)) {
    throw CFileException(CFileException::genericException, platform_.lastError(), m_strFileName);
  }
  begin_ = 0;
  end_ = read;
  return read > 0;
}

// Text mode: CR LF becomes LF, any other CR stays, 0x1A ends the text for good. A CR at the end of
// the buffer reads one byte ahead to see whether an LF follows.
bool CStdioFile::ReadByte(int& byte) {
  if (atEnd_) return false;
  if (begin_ == end_ && !FillBuffer()) {
    atEnd_ = true;
    return false;
  }
  const char c = buffer_[begin_++];
  if (text_ && c == kEndOfText) {
    atEnd_ = true;
    return false;
  }
  if (text_ && c == kCr && (begin_ < end_ || ReadAhead()) && buffer_[begin_] == kLf) {
    ++begin_;
    byte = kLf;
    return true;
  }
  byte = static_cast<unsigned char>(c);
  return true;
}

void CStdioFile::Put(char byte) {
  buffer_[end_++] = byte;
  if (end_ < kStreamBufferSize) return;
  std::uint32_t error = 0;
  if (!WriteOut(error)) throw CFileException(CFileException::diskFull, error, m_strFileName);
}

// What a short write did not take is dropped with the rest of the buffer.
bool CStdioFile::WriteOut(std::uint32_t& error) {
  const std::size_t pending = end_;
  end_ = 0;
  if (pending == 0) return true;
  std::uint32_t written = 0;
  const bool ok =
      platform_.writeFile(m_hFile, buffer_, static_cast<std::uint32_t>(pending), written);
  if (ok && written == pending) return true;
  error = ok ? kErrorDiskFull : platform_.lastError();
  return false;
}
