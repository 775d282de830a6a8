// The file classes the launcher uses: CFile for binary opens (the data file test) and CStdioFile
// for the settings file in text mode. Both sit on the Platform's raw file operations, so the text
// translation is the same code on Windows and in the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

// Raised by reads, writes and closes that fail. Never by an open: opens report failure by result.
class CFileException {
 public:
  enum Cause : int {
    none = 0,
    genericException = 1,
    fileNotFound = 2,
    badPath = 3,
    tooManyOpenFiles = 4,
    accessDenied = 5,
    invalidFile = 6,
    removeCurrentDir = 7,
    directoryFull = 8,
    badSeek = 9,
    hardIO = 10,
    sharingViolation = 11,
    lockViolation = 12,
    diskFull = 13,
    endOfFile = 14,
  };

  CFileException(int cause, std::uint32_t osError, const char* fileName);

  // The cause that belongs to a platform error code.
  static int OsErrorToException(std::uint32_t osError);

  int m_cause;
  std::uint32_t m_lOsError;
  char m_strFileName[kMaxPath];
};

// Raised when a null buffer or string is passed where the file classes need one.
class CInvalidArgException {};

class CFile {
 public:
  // Open flag bits.
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareExclusive = 0x0010,
    modeCreate = 0x1000,
    typeText = 0x4000,
    typeBinary = 0x8000,
  };

  explicit CFile(Platform& platform);
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  // Closes the file if it is open and owned; never throws.
  virtual ~CFile();

  // Opens `fileName` by the flag word. On failure the object is closed and nothing is raised.
  virtual bool Open(const char* fileName, unsigned flags);
  // Closes the file; raises CFileException when closing the handle fails. Closed: does nothing.
  virtual void Close();
  // Closes the file, ignoring every failure and discarding anything unwritten.
  virtual void Abort();

  bool IsOpen() const { return m_hFile != kInvalidHandle; }
  const char* GetFilePath() const { return m_strFileName; }

  OsHandle m_hFile = kInvalidHandle;
  bool m_bCloseOnDelete = false;
  char m_strFileName[kMaxPath] = {};  // full path name; empty while closed

 protected:
  // Steps shared by both classes: name check, full path, volume, stored name, CreateFileA.
  bool OpenHandle(const char* fileName, unsigned flags);
  // Resets the object to closed without touching the handle.
  void MarkClosed();

  Platform& platform_;
};

// Text mode on writing, as CStdioFile::WriteString does it: appends the bytes that writing `text`
// puts on disk, each LF as CR LF, to `image` (capacity `size`, `length` bytes used). False, with
// `image` and `length` as they were, when they do not fit.
bool AppendTextModeBytes(char* image, std::size_t size, std::size_t& length, const char* text);

class CStdioFile : public CFile {
 public:
  static constexpr std::size_t kStreamBufferSize = 4096;

  explicit CStdioFile(Platform& platform);
  ~CStdioFile() override;

  // As CFile::Open, then wraps the handle in a buffered text stream (read or write by the flags).
  bool Open(const char* fileName, unsigned flags) override;
  // Writes out the stream buffer, then closes the handle. A failed flush or close raises
  // CFileException with cause diskFull.
  void Close() override;
  void Abort() override;
  // Writes out the stream buffer and asks the platform to put the file's data on disk. A failure
  // raises CFileException with cause diskFull.
  void Flush();

  // Reads up to and including the next LF, at most maxBytes - 1 bytes, and terminates them.
  // Returns buffer, or nullptr at end of file with the buffer untouched. `delivered`, when given,
  // receives the number of bytes read, which a NUL among them keeps strlen from telling. A read
  // error raises CFileException with cause genericException.
  char* ReadString(char* buffer, unsigned maxBytes, std::size_t* delivered = nullptr);
  // Writes the string's bytes, each LF as CR LF. Raises CFileException with cause diskFull when
  // the bytes cannot all be passed on.
  void WriteString(const char* text);

 private:
  // Text stream state over m_hFile. Open only between a successful Open and Close/Abort.
  bool FillBuffer();         // reads the next block; false at end of file; raises on an error
  bool ReadAhead();          // reads the byte after a CR that ended a block; false at end
  bool ReadByte(int& byte);  // next translated byte; false at end of text
  void Put(char byte);       // buffers one byte, writing the buffer out when it is full
  bool WriteOut(std::uint32_t& error);  // writes out buffered bytes; false on a short write
  void ResetStream();

  bool streamOpen_ = false;
  bool writing_ = false;
  bool text_ = true;
  bool atEnd_ = false;  // end of file or 0x1A seen: every later read is at end
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  char buffer_[kStreamBufferSize] = {};
};
