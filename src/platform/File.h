// The file classes the launcher uses: CFile for binary opens (the data file test) and CStdioFile
// for reading the settings file in text mode. Both only read: the settings are written through
// ReplaceFileContent. They sit on the Platform's raw file operations, so the text translation is
// the same code on Windows and in the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

// Raised by a read that fails and by a close that fails. Never by an open: opens report failure
// by their result.
class CFileException {};

class CFile {
 public:
  // Open flag bits.
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,  // refused, as are the two below: these classes only read
    modeReadWrite = 0x0002,
    shareExclusive = 0x0010,
    modeCreate = 0x1000,
    typeText = 0x4000,
  };

  explicit CFile(Platform& platform);
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  // Closes the file if it is open and owned; never throws.
  virtual ~CFile();

  // Opens an existing `fileName` for reading, exclusively. On failure the object is closed and
  // nothing is raised; flags that ask for writing or creating fail before anything is touched.
  bool Open(const char* fileName, unsigned flags);
  // Closes the file; raises CFileException when closing the handle fails. Closed: does nothing.
  void Close();
  // Closes the file, ignoring every failure.
  void Abort();

  bool IsOpen() const { return m_hFile != kInvalidHandle; }
  const char* GetFilePath() const { return m_strFileName; }

 protected:
  // Resets the object to closed without touching the handle (and, for a text file, its stream).
  virtual void MarkClosed();

  Platform& platform_;
  OsHandle m_hFile = kInvalidHandle;
  bool m_bCloseOnDelete = false;
  char m_strFileName[kMaxPath] = {};  // full path name; empty while closed
};

// A CFile read as text through a buffer of 4096 bytes.
class CStdioFile : public CFile {
 public:
  static constexpr std::size_t kStreamBufferSize = 4096;

  explicit CStdioFile(Platform& platform);

  // Reads up to and including the next LF, at most maxBytes - 1 bytes, and terminates them.
  // Returns buffer, or nullptr at end of file with the buffer untouched. `delivered`, when given,
  // receives the number of bytes read, which a NUL among them keeps strlen from telling. A read
  // error raises CFileException.
  char* ReadString(char* buffer, unsigned maxBytes, std::size_t* delivered = nullptr);

 private:
  void MarkClosed() override;
  bool Fill(std::uint32_t size);  // reads the next `size` bytes at most; false at end of file
  bool ReadByte(int& byte);       // next translated byte; false at end of text

  bool atEnd_ = false;  // end of file or 0x1A seen: every later read is at end
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  char buffer_[kStreamBufferSize] = {};
};
