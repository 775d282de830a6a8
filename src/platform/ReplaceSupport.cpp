#include "platform/ReplaceSupport.h"

bool Flushed(Platform& os, OsHandle file) {
  if (os.flushFile(file)) return true;
  const std::uint32_t error = os.lastError();
  return error == kErrorInvalidFunction || error == kErrorNotSupported ||
         error == kErrorCallNotImplemented;
}

bool WriteAll(Platform& os, OsHandle file, const char* bytes, std::size_t size) {
  while (size > 0) {
    std::uint32_t written = 0;
    const auto chunk = static_cast<std::uint32_t>(size);
    if (!os.writeFile(file, bytes, chunk, written) || written == 0 || written > chunk) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

bool ReadAll(Platform& os, OsHandle file, char* bytes, std::size_t size) {
  while (size > 0) {
    std::uint32_t read = 0;
    const auto wanted = static_cast<std::uint32_t>(size);
    if (!os.readFile(file, bytes, wanted, read) || read == 0 || read > wanted) return false;
    bytes += read;
    size -= read;
  }
  return true;
}

std::uint32_t Checksum(const char* bytes, std::size_t size, std::uint32_t hash) {
  for (std::size_t i = 0; i < size; ++i) {
    hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
  }
  return hash;
}

OsHandle OpenWaiting(Platform& os, const char* path, std::uint32_t access) {
  OsHandle file = kInvalidHandle;
  Retried(os, [&] {
    file = os.createFile(path, access, kShareNone, kOpenExisting, kAttributeNormal);
    return file != kInvalidHandle;
  });
  return file;
}
