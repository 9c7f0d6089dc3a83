#include "transcoder/ReadFile.h"

#include <memory>

#include "foundation/ErrorText.h"
#include "foundation/Logger.h"
#include "foundation/api/avformat.h"

namespace corvane {

namespace {

struct AVIOCloser {
  void operator()(AVIOContext* p) const { ff::avio_closep(&p); }
};
using AVIOPtr = std::unique_ptr<AVIOContext, AVIOCloser>;

}  // namespace

std::optional<std::string> read_file(TObject* sender, const std::string& file_name) {
  AVIOContext* raw = nullptr;
  if (ff::avio_open(&raw, file_name.c_str(), AVIO_FLAG_READ) < 0) {
    FFLogger().Log(sender, llError, "Error opening file %s.", file_name.c_str());
    return std::nullopt;
  }
  AVIOPtr pb(raw);
  std::string text;
  unsigned char chunk[1024];
  for (;;) {
    const int n = ff::avio_read(pb.get(), chunk, sizeof chunk);
    if (n > 0) {
      text.append(reinterpret_cast<const char*>(chunk), static_cast<std::size_t>(n));
    } else if (n == 0 || n == AVERROR_EOF) {
      return text;
    } else {
      // A failed read must not pass for the whole file.
      FFLogger().Log(sender, llError, "Error reading file %s: %s", file_name.c_str(),
                     error_text(n).c_str());
      return std::nullopt;
    }
  }
}

}  // namespace corvane
