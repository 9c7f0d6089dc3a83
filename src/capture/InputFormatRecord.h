// Pieces of the static input-format records the capture inputs hand to the
// library: option rows of the private state, the option class, the record,
// and the boundary that keeps exceptions out of the library.
#pragma once

#include <climits>
#include <cstddef>
#include <new>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace corvane::capture {

// An option of the private state, a decoding parameter.
inline AVOption StateOption(const char* name, const char* help, std::size_t offset,
                            AVOptionType type) {
  AVOption o{};
  o.name = name;
  o.help = help;
  o.offset = static_cast<int>(offset);
  o.type = type;
  o.flags = AV_OPT_FLAG_DECODING_PARAM;
  return o;
}

inline AVOption IntOption(const char* name, const char* help, std::size_t offset, int value) {
  AVOption o = StateOption(name, help, offset, AV_OPT_TYPE_INT);
  o.default_val.i64 = value;
  o.max = INT_MAX;
  return o;
}

inline AVOption TextOption(const char* name, const char* help, std::size_t offset,
                           const char* value) {
  AVOption o = StateOption(name, help, offset, AV_OPT_TYPE_STRING);
  o.default_val.str = value;
  return o;
}

// Names items by their class, without a pointer into the library.
inline const char* ClassItemName(void* ctx) {
  return (*static_cast<const AVClass**>(ctx))->class_name;
}

inline AVClass OptionClass(const char* name, const AVOption* options) {
  AVClass c{};
  c.class_name = name;
  c.item_name = ClassItemName;
  c.option = options;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}

// A field of a record shared with handlers back to the input's own value,
// written only when a handler changed it: readers on other threads then see
// no write in normal use.
template <class T>
void RestoreShared(T& shared, const T& own) {
  if (shared != own) shared = own;
}

// Nothing is thrown into the library.
template <class F>
int Guarded(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return AVERROR(ENOMEM);
  } catch (...) {
    return AVERROR_BUG;
  }
}

// A record without a file whose operations run guarded.
template <int (*Header)(AVFormatContext*), int (*Packet)(AVFormatContext*, AVPacket*),
          int (*Close)(AVFormatContext*)>
AVInputFormat NoFileInputFormat(const char* name, const char* longName, const AVClass* cls,
                                int privSize) {
  AVInputFormat f{};
  f.name = name;
  f.long_name = longName;
  f.flags = AVFMT_NOFILE;
  f.priv_class = cls;
  f.priv_data_size = privSize;
  f.read_header = [](AVFormatContext* s) { return Guarded([&] { return Header(s); }); };
  f.read_packet = [](AVFormatContext* s, AVPacket* pkt) {
    return Guarded([&] { return Packet(s, pkt); });
  };
  f.read_close = [](AVFormatContext* s) { return Guarded([&] { return Close(s); }); };
  return f;
}

}  // namespace corvane::capture
