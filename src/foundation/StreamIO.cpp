#include "foundation/StreamIO.h"

#include <cstdio>
#include <cstring>
#include <istream>

namespace corvane {

std::string MemoryStreamName(const TStream& stream, const std::string& private_data) {
  return "memory:" + stream.RegistryUrl() + ":" + private_data;
}

// ---- TMemoryStream

int TMemoryStream::Read(std::uint8_t* data, int size) {
  std::lock_guard g(FLock);
  if (size < 0) return -1;
  if (FPos >= FData.size()) return 0;
  const std::size_t n = std::min(static_cast<std::size_t>(size), FData.size() - FPos);
  std::memcpy(data, FData.data() + FPos, n);
  FPos += n;
  return static_cast<int>(n);
}

int TMemoryStream::Write(const std::uint8_t* data, int size) {
  std::lock_guard g(FLock);
  if (size < 0) return -1;
  const std::size_t n = static_cast<std::size_t>(size);
  if (FData.size() < FPos + n) FData.resize(FPos + n);
  std::memcpy(FData.data() + FPos, data, n);
  FPos += n;
  return size;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, int whence) {
  std::lock_guard g(FLock);
  std::int64_t base = 0;
  if (whence == SEEK_CUR)
    base = static_cast<std::int64_t>(FPos);
  else if (whence == SEEK_END)
    base = static_cast<std::int64_t>(FData.size());
  else if (whence != SEEK_SET)
    return -1;
  if (offset > INT64_MAX - base) return -1;
  const std::int64_t pos = base + offset;
  if (pos < 0) return -1;
  FPos = static_cast<std::size_t>(pos);  // past the end is allowed; a write fills the gap
  return pos;
}

std::int64_t TMemoryStream::Size() {
  std::lock_guard g(FLock);
  return static_cast<std::int64_t>(FData.size());
}

std::string TMemoryStream::Data() const {
  std::lock_guard g(FLock);
  return FData;
}

// ---- TStdStream

int TStdStream::Read(std::uint8_t* data, int size) {
  std::lock_guard g(FLock);
  if (size < 0 || FStream.bad()) return -1;
  FStream.clear(FStream.rdstate() & ~std::ios::eofbit & ~std::ios::failbit);
  FStream.read(reinterpret_cast<char*>(data), size);
  if (FStream.bad()) return -1;
  return static_cast<int>(FStream.gcount());
}

int TStdStream::Write(const std::uint8_t* data, int size) {
  std::lock_guard g(FLock);
  if (size < 0) return -1;
  FStream.clear();
  FStream.write(reinterpret_cast<const char*>(data), size);
  return FStream ? size : -1;
}

std::int64_t TStdStream::Seek(std::int64_t offset, int whence) {
  std::lock_guard g(FLock);
  const std::ios::seekdir dir = whence == SEEK_CUR   ? std::ios::cur
                                : whence == SEEK_END ? std::ios::end
                                                     : std::ios::beg;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
  FStream.clear();
  FStream.seekg(offset, dir);
  FStream.seekp(FStream.tellg());
  if (!FStream) return -1;
  return static_cast<std::int64_t>(FStream.tellg());
}

std::int64_t TStdStream::Size() {
  std::lock_guard g(FLock);
  FStream.clear();
  const auto pos = FStream.tellg();
  FStream.seekg(0, std::ios::end);
  const auto end = FStream.tellg();
  FStream.seekg(pos);
  FStream.seekp(pos);
  if (!FStream || end < 0) return -1;
  return static_cast<std::int64_t>(end);
}

}  // namespace corvane
