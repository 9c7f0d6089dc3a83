// An I/O context of the project's own over a registered TStream, for the
// inputs and outputs named "memory:ID:PRIVATE".
#pragma once

#include <memory>
#include <string>

#include "foundation/AVHandles.h"
#include "foundation/StreamIO.h"

namespace corvane {

class TStreamAVIO {
 public:
  TStreamAVIO(std::shared_ptr<TStream> stream, bool write);
  ~TStreamAVIO();
  TStreamAVIO(const TStreamAVIO&) = delete;
  TStreamAVIO& operator=(const TStreamAVIO&) = delete;

  // Null when the context could not be allocated.
  AVIOContext* Context() const { return FContext; }

 private:
  static int ReadPacket(void* opaque, std::uint8_t* buf, int size);
  static int WritePacket(void* opaque, std::uint8_t* buf, int size);
  static std::int64_t SeekTo(void* opaque, std::int64_t offset, int whence);

  std::shared_ptr<TStream> FStream;  // kept alive while the file is open
  AVIOContext* FContext = nullptr;
};
using StreamAVIOPtr = std::unique_ptr<TStreamAVIO>;

// Whether the name is a stream name ("memory:...").
bool IsMemoryStreamName(const std::string& name);

// Attaches the stream the name carries as ctx's I/O, flagged as the caller's
// own so that no close of the library's frees it; io owns it and must outlive
// ctx. 0 when the name is no stream name (nothing done), 1 when attached,
// <0 with err set when the id is malformed or names no live stream.
int AttachStreamIO(const std::string& name, AVFormatContext* ctx, bool write, StreamAVIOPtr& io,
                   std::string& err);

}  // namespace corvane
