// Random access to the pictures and sound of an opened file: seeking, decoding
// (optionally through a video filter chain), key-frame and frame stepping, the
// current picture as a bitmap, and audio converted to a chosen format.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "decoder/CustomDecoder.h"
#include "foundation/Bitmap.h"
#include "foundation/FormatConverter.h"

namespace corvane {

// Decoding or seeking was asked of a context borrowed through SetFileHandle.
class EDecoderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TSeekFlag : int {
  sfBackward = AVSEEK_FLAG_BACKWARD,
  sfByte = AVSEEK_FLAG_BYTE,
  sfAny = AVSEEK_FLAG_ANY,
  sfFrame = AVSEEK_FLAG_FRAME,
};
using TSeekFlags = int;

enum TDecodeType { dtBoth, dtVideo, dtAudio };
enum TDecodeResult { drVideo, drAudio, drError };

struct TFrameInfo {
  AVPixelFormat PixFmt = AV_PIX_FMT_NONE;
  int Width = -1, Height = -1;
  bool IsKeyFrame = false, IsInterlaced = false, IsTopFieldFirst = false;
  AVPictureType PictureType = AV_PICTURE_TYPE_NONE;
  std::int64_t PTS = AV_NOPTS_VALUE;  // microseconds from the stream start
  std::int64_t OriginalDTS = AV_NOPTS_VALUE, OriginalPTS = AV_NOPTS_VALUE;
  int StreamIndex = -1;
  std::int64_t Position = -1;
  bool Ready = false;
  // Planes of Frame, which the decoder keeps (a reference to the decoded
  // buffers, read-only) until the next picture, a seek or CloseFile.
  PicturePlanes Picture;
  const AVFrame* Frame = nullptr;
};

struct TWaveInfo {
  int Channels = 0, SampleRate = 0;
  AVSampleFormat SampleFormat = AV_SAMPLE_FMT_NONE;
  int BytesPerSample = 0, BytesPerSecond = 0;
  std::int64_t PTS = AV_NOPTS_VALUE;
  std::int64_t OriginalDTS = AV_NOPTS_VALUE, OriginalPTS = AV_NOPTS_VALUE;
  int StreamIndex = -1;
  bool Ready = false;
  const std::uint8_t* Buffer = nullptr;  // the decoded samples of the last DecodeAudio
  int Size = 0;
  std::int64_t Duration = AV_NOPTS_VALUE;  // microseconds
};

class TVUZezevud : public TCustomDecoder {
 public:
  explicit TVUZezevud(TComponent* AOwner = nullptr);
  ~TVUZezevud() override;
  const char* ClassName() const override { return "TVUZezevud"; }

  void CloseFile() override;
  virtual bool Seek(std::int64_t APTS, TSeekFlags ASeekFlags = 0);

  bool Decode(int AStreamIndex = -1);
  TDecodeResult Decode(TDecodeType AType);
  bool DecodeNextKeyFrame(int AStreamIndex = -1);
  bool DecodePreviousKeyFrame(int AStreamIndex = -1);
  bool DecodePreviousFrame(int AStreamIndex = -1);

  bool CopyToBitmap(Bitmap& ABitmap);
  // The converter's description of the current picture, or null.
  const DibInfo* GetBitmapPtr();

  bool DecodeAudio(int AStreamIndex = -1);
  // Copies up to ACount decoded bytes; with a null buffer only tells how many are ready.
  int ReadAudio(void* ABuffer, int ACount, int AStreamIndex = -1);

  int BitmapBitsPixel() const { return FFormatConv.BitsPixel(); }
  void SetBitmapBitsPixel(int v) { FFormatConv.SetBitsPixel(v); }
  bool Eof() const { return FEOF; }
  const TFrameInfo& FrameInfo() const { return FPicture; }
  const TWaveInfo& WaveInfo() const { return FWaveInfo; }
  const std::string& VideoFilters() const { return Fvfilters; }
  void SetVideoFilters(const std::string& v) { Fvfilters = v; }
  int DesireAudioChannels() const { return FDesireAudioChannels; }
  void SetDesireAudioChannels(int v);
  int DesireAudioSampleRate() const { return FDesireAudioSampleRate; }
  void SetDesireAudioSampleRate(int v);
  AVSampleFormat DesireAudioSampleFormat() const { return FDesireAudioSampleFormat; }
  // Planar formats are taken as their packed form.
  void SetDesireAudioSampleFormat(AVSampleFormat v);
  // Byte position of the input, -1 without one.
  std::int64_t Position() const;
  TFormatConverter& FormatConverter() { return FFormatConv; }

 protected:
  virtual void FreeAudioResampler();
  void ScalerFlagsChanged(int AFlags) override;

 private:
  enum class Got { Picture, Audio, AudioError, None, Stop };

  bool accessCheck();
  int selectVideoStream(int index);
  int selectAudioStream(int index);
  bool openCodec(int index, CodecContextPtr& ctx, AVMediaType type);
  std::int64_t frameDuration() const;
  bool isImage2() const;
  // One step of the read loop over the streams video and audio (-1: not taken).
  Got step(int video, int audio, const char* what);
  // 1 a picture was stored, 0 more input is needed, AVERROR_EOF drained.
  int receiveVideo();
  // Bytes appended, 0 when more input is needed, AVERROR_EOF when drained.
  int receiveAudio();
  int filterAndStore(AVFrame* frame);
  int pullFiltered();
  int configureFilters(const AVFrame* frame);
  void storePicture(const AVFrame* frame, AVRational tb);
  int appendSamples(const AVFrame* frame);
  void resetPicture();
  void resetWave();
  void finishAudio();
  std::string msg(const char* what, const std::string& text) const;

  CodecContextPtr FVideoCodec;
  TFormatConverter FFormatConv;
  int FDesireVideoIndex = -1;
  FramePtr FDecodedFrame, FFilteredFrame, FPictureFrame;
  bool FEOF = false;
  bool FEOFpkt = false;
  int FReadError = 0;  // of the read that began the draining, when not the end
  TFrameInfo FPicture;
  std::int64_t FLastPTS = AV_NOPTS_VALUE;
  std::string Fvfilters, Flast_vfilters;
  FilterGraphPtr Ffilter_graph;
  AVFilterContext* Fbuffersink_ctx = nullptr;
  AVFilterContext* Fbuffersrc_ctx = nullptr;
  bool FFilterFlushed = false;
  TWaveInfo FWaveInfo;
  int FDesireAudioChannels = 2;
  int FDesireAudioSampleRate = 44100;
  AVSampleFormat FDesireAudioSampleFormat = AV_SAMPLE_FMT_S16;
  int FDesireAudioIndex = -1;
  CodecContextPtr FAudioCodec;
  FramePtr FAudioDecodedFrame;
  std::vector<std::uint8_t> FAudioBuffer;
  int FAudioBytes = 0;  // bytes of FAudioBuffer that hold the last decoded audio
  std::vector<std::uint8_t> FResampledBuffer;
  struct {
    int freq = 0;
    AVChannelLayout layout{};
    AVSampleFormat fmt = AV_SAMPLE_FMT_NONE;
  } FAudioParam;
  SwrPtr FSwr;
  int FRemainsAudioSize = 0;
  AVRational FFrameRate{0, 0};
  int FSeekIndex = -1;
  int FVideoCodecIndex = -1, FAudioCodecIndex = -1;
  PacketPtr FPacket;
  bool FVideoDrained = false, FAudioDrained = false;
};

}  // namespace corvane
