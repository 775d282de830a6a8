// The Platform on the real Windows API: each operation is one call into kernel32 or user32.
//
// Only this folder includes <windows.h>; this header does not, so the entry point and the tests
// see nothing but the Platform interface. Builds target Windows XP and later
// (_WIN32_WINNT=0x0501) and call nothing newer.
#pragma once

#include "platform/Platform.h"

class Win32Platform final : public Platform {
 public:
  Win32Platform() = default;

  ModuleHandle loadLibrary(const char* name) override;
  ModuleHandle loadLibraryEx(const char* name, std::uint32_t flags) override;
  bool hasLibrarySearchFlags() override;
  void freeLibrary(ModuleHandle module) override;
  void pause(std::uint32_t milliseconds) override;
  std::uint32_t setErrorMode(std::uint32_t mode) override;
  std::uint32_t currentDirectory(std::uint32_t size, char* buffer) override;
  bool changeDirectory(const char* path) override;
  std::uint32_t moduleFileName(char* buffer, std::uint32_t size) override;
  std::uint32_t driveType(const char* root) override;
  bool isLeadByte(char byte) override;
  std::uint32_t currentDirectoryWide(std::uint32_t size, char16_t* buffer) override;
  std::uint32_t moduleFileNameWide(char16_t* buffer, std::uint32_t size) override;
  std::uint32_t shortPathName(const char16_t* path, char16_t* buffer, std::uint32_t size) override;
  std::uint32_t toAnsiNoBestFit(const char16_t* text, char* buffer, std::uint32_t size,
                                bool& usedDefault) override;

  bool startProcess(const char* application, const char* commandLine, std::uint32_t creationFlags,
                    const char* currentDirectory, ProcessInfo& info) override;
  std::uint32_t waitForInputIdle(OsHandle process, std::uint32_t milliseconds) override;
  bool closeHandle(OsHandle handle) override;
  int showMessageBox(OsHandle owner, const char* text, const char* caption,
                     std::uint32_t type) override;
  [[noreturn]] void endProcess(int code) override;

  std::uint32_t fullPathName(const char* name, std::uint32_t size, char* buffer,
                             char** filePart) override;
  bool volumeInformation(const char* root, std::uint32_t& fileSystemFlags) override;
  OsHandle findFirstFile(const char* pattern, char* name, std::uint32_t size) override;
  bool findNextFile(OsHandle search, char* name, std::uint32_t size) override;
  bool findClose(OsHandle search) override;
  OsHandle createFile(const char* name, std::uint32_t access, std::uint32_t shareMode,
                      std::uint32_t disposition, std::uint32_t attributes) override;
  bool readFile(OsHandle file, void* buffer, std::uint32_t size, std::uint32_t& read) override;
  bool writeFile(OsHandle file, const void* data, std::uint32_t size,
                 std::uint32_t& written) override;
  bool flushFile(OsHandle file) override;
  bool seekFile(OsHandle file, std::uint32_t offset) override;
  bool setEndOfFile(OsHandle file) override;
  bool fileInformation(OsHandle file, FileInformation& info) override;
  std::uint32_t finalPathName(OsHandle file, char* buffer, std::uint32_t size) override;
  bool fileSystemName(OsHandle file, char* name, std::uint32_t size) override;
  std::uint32_t makeTempFile(const char* folder, const char* prefix, char* buffer) override;
  std::uint32_t fileAttributes(const char* path) override;
  bool renameOver(const char* source, const char* target) override;
  bool deleteFile(const char* path) override;
  void upperCase(char* text) override;
  std::uint32_t lastError() override;
};
