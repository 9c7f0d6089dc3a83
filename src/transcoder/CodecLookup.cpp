// Codecs by name and the decoder of an input stream.
#include "foundation/api/avcodec.h"
#include "transcoder/TranscoderOptions.h"

namespace corvane {

const AVCodec* TCustomFFmpegOpt::FindCodecOrDie(const std::string& name, AVMediaType type,
                                                bool encoder) {
  const char* kind = encoder ? "encoder" : "decoder";
  const AVCodec* codec = encoder ? ff::avcodec_find_encoder_by_name(name.c_str())
                                 : ff::avcodec_find_decoder_by_name(name.c_str());
  if (!codec) {
    if (const AVCodecDescriptor* desc = ff::avcodec_descriptor_get_by_name(name.c_str())) {
      codec = encoder ? ff::avcodec_find_encoder(desc->id) : ff::avcodec_find_decoder(desc->id);
      if (codec)
        Log(llVerbose, "Matched %s \"%s\" for codec \"%s\".", kind, codec->name, desc->name);
    }
  }
  if (!codec) Fatal("Unknown %s \"%s\"", kind, name.c_str());
  if (codec->type != type) Fatal("Invalid %s type \"%s\"", kind, name.c_str());
  return codec;
}

const AVCodec* TCustomFFmpegOpt::ChooseDecoder(TPerFileOptions& o, AVFormatContext* s,
                                               AVStream* st) {
  if (const TSpecifierValue* v = MatchPerStream(o.codec_names, s, st)) {
    const AVCodec* codec = FindCodecOrDie(v->str, st->codecpar->codec_type, false);
    st->codecpar->codec_id = codec->id;
    return codec;
  }
  return ff::avcodec_find_decoder(st->codecpar->codec_id);
}

}  // namespace corvane
