// A caller-supplied stream that a task reads an input from or writes an
// output to. A stream lives in the live-object registry; the file name
// "memory:ID:PRIVATE" names it by its registry id, never by its address.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/AdapterRegistry.h"

namespace corvane {

class TStream : public TRegisteredObject {
 public:
  // Up to size bytes into data: the count read, 0 at the end, <0 on failure.
  virtual int Read(std::uint8_t* data, int size) = 0;
  // All size bytes from data: size, or <0 on failure.
  virtual int Write(const std::uint8_t* data, int size) = 0;
  // Moves to offset from whence (SEEK_SET, SEEK_CUR, SEEK_END): the new
  // position, or <0 on failure.
  virtual std::int64_t Seek(std::int64_t offset, int whence) = 0;
  // The length in bytes, or <0 when unknown.
  virtual std::int64_t Size() = 0;
};

// The file name that opens this stream: "memory:ID:PRIVATE".
std::string MemoryStreamName(const TStream& stream, const std::string& private_data = {});

// A stream over a growable byte buffer.
class TMemoryStream : public TStream {
 public:
  explicit TMemoryStream(std::string data = {}) : FData(std::move(data)) {}
  int Read(std::uint8_t* data, int size) override;
  int Write(const std::uint8_t* data, int size) override;
  std::int64_t Seek(std::int64_t offset, int whence) override;
  std::int64_t Size() override;
  // A copy of the whole buffer.
  std::string Data() const;

 private:
  mutable std::mutex FLock;
  std::string FData;
  std::size_t FPos = 0;
};

// A stream over a std::iostream the caller keeps alive while the stream is used.
class TStdStream : public TStream {
 public:
  explicit TStdStream(std::iostream& s) : FStream(s) {}
  int Read(std::uint8_t* data, int size) override;
  int Write(const std::uint8_t* data, int size) override;
  std::int64_t Seek(std::int64_t offset, int whence) override;
  std::int64_t Size() override;

 private:
  std::mutex FLock;
  std::iostream& FStream;
};

}  // namespace corvane
