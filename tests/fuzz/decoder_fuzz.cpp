// Arbitrary bytes through loading, describing, decoding, seeking and audio reading.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "decoder/VUZezevud.h"
#include "foundation/FFLoader.h"
#include "foundation/Logger.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool loaded = [] {
    if (!FFLoader().Load(TCustomDecoder::LibrarySet)) return false;
    FFLogger().SetLogLevel(llQuiet);
    return true;
  }();
  if (!loaded) return 0;
  const int fd = ::memfd_create("corvane-fuzz", 0);
  if (fd < 0) return 0;
  if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  {
    TVUZezevud dec;
    dec.SetReadTimeout(5000);
    if (dec.LoadFile("/proc/self/fd/" + std::to_string(fd))) {
      dec.FileInfoText();
      dec.FileStreamInfo();
      for (int i = 0; i < dec.StreamCount(); ++i) {
        dec.GetVideoStreamInfos(i);
        dec.GetAudioStreamInfos(i);
        dec.GetSubtitleStreamInfos(i);
      }
      if (dec.VideoStreamCount() > 0) {
        for (int i = 0; i < 30 && dec.Decode(); ++i) {
        }
        Bitmap bmp;
        dec.CopyToBitmap(bmp);
        dec.DecodePreviousFrame();
        dec.Seek(0);
        dec.Decode();
      }
      if (dec.AudioStreamCount() > 0) {
        std::vector<std::uint8_t> buf(4096);
        for (int i = 0; i < 30 && dec.ReadAudio(buf.data(), static_cast<int>(buf.size())) > 0; ++i) {
        }
      }
    }
  }
  ::close(fd);
  return 0;
}
