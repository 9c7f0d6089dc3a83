// Option records of an encoder task and the records its events carry.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include "foundation/Bitmap.h"

namespace corvane {

class TObject;

struct TInputOptions {
  std::string FileName;
  std::string Options;
  std::string Presets;
  std::int32_t Tag = 0;
  void* Data = nullptr;
};

struct TOutputOptions {
  std::string FileName;
  std::string Options;
  std::string Presets;
  bool AudioInputHook = false;
  bool AudioOutputHook = false;
  bool VideoInputHook = false;
  bool VideoOutputHook = false;
  std::int32_t VideoHookBitsPixel = 32;
  bool FrameInputHook = false;
  bool FrameOutputHook = false;
  std::int32_t Tag = 0;
  void* Data = nullptr;
};

struct THookInfo {
  std::int32_t TaskIndex = -1;
  ::corvane::Bitmap* Bitmap = nullptr;
  std::int32_t FrameNumber = 0;
  std::int64_t PTS = 0;   // microseconds
  bool Update = true;     // write the bitmap back into the stream
  bool StopHook = false;  // no further calls of this hook for the task
};

struct TFrameHookInfo {
  std::int32_t TaskIndex = -1;
  std::int32_t FrameNumber = 0;
  AVFrame* Picture = nullptr;
  AVPixelFormat PixFmt = AV_PIX_FMT_NONE;
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::int64_t PTS = 0;
};

struct TPreviewInfo {
  std::int32_t TaskIndex = -1;
  const ::corvane::Bitmap* Bitmap = nullptr;
  std::int32_t FrameNumber = 0;
  std::int64_t PTS = 0;
};

// Progress of one task as the encoder reports it (the engine's own record is
// TProgressInfo).
struct TEncProgressInfo {
  std::int32_t TaskIndex = -1;
  std::int32_t FileIndex = -1;  // the task's progress covers all its outputs
  std::int32_t FrameNumber = 0;
  std::int32_t FPS = 0;
  float Quality = 0;
  float BitRate = 0;                 // kbit/s, -1 unknown
  std::int64_t CurrentSize = 0;      // bytes
  std::int64_t CurrentDuration = 0;  // microseconds
  std::int64_t TotalDuration = 0;    // microseconds
};

struct TTerminateInfo {
  std::int32_t TaskIndex = -1;  // -1: every task has ended
  bool Finished = false;
  bool Exception = false;
  std::string ExceptionMsg;
};

using TStartEvent = std::function<void(TObject* Sender, int ATaskIndex)>;
using TTerminateEvent = std::function<void(TObject* Sender, const TTerminateInfo& AInfo)>;
using TEncProgressEvent = std::function<void(TObject* Sender, TEncProgressInfo* AInfo)>;
using TEncPreviewBitmapEvent = std::function<void(TObject* Sender, const TPreviewInfo& AInfo)>;
using TEncVideoHookEvent = std::function<void(TObject* Sender, THookInfo* AInfo)>;
using TEncFrameHookEvent = std::function<void(TObject* Sender, TFrameHookInfo* AInfo)>;
using TEncAudioHookEvent =
    std::function<void(TObject* Sender, int ATaskIndex, std::int64_t APTS, AVFrame* AFrame,
                       int ASize, int ASampleRate, int AChannels, AVSampleFormat ASampleFormat)>;
using TEncBeforeFindStreamInfoEvent =
    std::function<void(TObject* Sender, AVFormatContext* AFormatContext)>;

}  // namespace corvane
