#include "transcoder/StreamAVIO.h"

#include <cerrno>

#include "foundation/StrFormat.h"

namespace corvane {
namespace {

constexpr int kBufferSize = 32768;
constexpr const char kPrefix[] = "memory:";

// The id between "memory:" and the next ':' (or the end).
std::string IdText(const std::string& name) {
  const std::size_t start = sizeof kPrefix - 1;
  const std::size_t colon = name.find(':', start);
  return name.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
}

}  // namespace

TStreamAVIO::TStreamAVIO(std::shared_ptr<TStream> stream, bool write) : FStream(std::move(stream)) {
  auto* buffer = static_cast<unsigned char*>(ff::av_malloc(kBufferSize));
  if (!buffer) return;
  FContext = ff::avio_alloc_context(buffer, kBufferSize, write ? 1 : 0, this, &ReadPacket,
                                    write ? &WritePacket : nullptr, &SeekTo);
  if (!FContext) ff::av_free(buffer);
}

TStreamAVIO::~TStreamAVIO() {
  if (!FContext) return;
  ff::av_freep(&FContext->buffer);  // may have been replaced by the library
  ff::avio_context_free(&FContext);
}

int TStreamAVIO::ReadPacket(void* opaque, std::uint8_t* buf, int size) {
  const int n = static_cast<TStreamAVIO*>(opaque)->FStream->Read(buf, size);
  if (n < 0) return AVERROR(EIO);
  return n == 0 ? AVERROR_EOF : n;
}

int TStreamAVIO::WritePacket(void* opaque, std::uint8_t* buf, int size) {
  const int n = static_cast<TStreamAVIO*>(opaque)->FStream->Write(buf, size);
  return n == size ? size : AVERROR(EIO);
}

std::int64_t TStreamAVIO::SeekTo(void* opaque, std::int64_t offset, int whence) {
  TStream& s = *static_cast<TStreamAVIO*>(opaque)->FStream;
  if (whence & AVSEEK_SIZE) {
    const std::int64_t size = s.Size();
    return size < 0 ? AVERROR(ENOSYS) : size;
  }
  const std::int64_t pos = s.Seek(offset, whence & ~AVSEEK_FORCE);
  return pos < 0 ? AVERROR(EIO) : pos;
}

bool IsMemoryStreamName(const std::string& name) { return name.rfind(kPrefix, 0) == 0; }

int AttachStreamIO(const std::string& name, AVFormatContext* ctx, bool write, StreamAVIOPtr& io,
                   std::string& err) {
  if (!IsMemoryStreamName(name)) return 0;
  const auto id = parseRegistryId(IdText(name).c_str());
  std::shared_ptr<TStream> stream = id ? findRegisteredAs<TStream>(*id) : nullptr;
  if (!stream) {
    err = strprintf("%s: Invalid stream object", name.c_str());
    return AVERROR(EINVAL);
  }
  auto made = std::make_unique<TStreamAVIO>(std::move(stream), write);
  if (!made->Context()) {
    err = strprintf("%s: Cannot allocate an I/O context", name.c_str());
    return AVERROR(ENOMEM);
  }
  io = std::move(made);
  ctx->pb = io->Context();
  ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
  return 1;
}

}  // namespace corvane
