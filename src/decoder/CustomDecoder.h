// Opens one media file and describes it: format, size, programs, metadata and streams.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "decoder/StreamInfo.h"
#include "foundation/AVHandles.h"
#include "foundation/BaseComponent.h"
#include "foundation/Library.h"
#include "foundation/Options.h"

namespace corvane {

using TBeforeFindStreamInfoEvent =
    std::function<void(TObject* Sender, AVFormatContext* AFormatContext)>;

class TCustomDecoder : public TFFBaseComponent {
 public:
  explicit TCustomDecoder(TComponent* AOwner = nullptr);
  ~TCustomDecoder() override;
  TCustomDecoder(const TCustomDecoder&) = delete;
  TCustomDecoder& operator=(const TCustomDecoder&) = delete;
  const char* ClassName() const override { return "TCustomDecoder"; }

  static constexpr TLibraries LibrarySet = kDecoderLibraries;
  bool AVLibLoaded() const;
  bool LoadAVLib(const std::string& APath);
  void UnloadAVLib();

  // Throws ELibraryError when the libraries are not loaded; other failures
  // give false with LastErrMsg.
  bool LoadFile(const std::string& AFileName, const std::string& AFormatName = "");
  virtual void CloseFile();

  AVFormatContext* FileHandle() const { return FFileHandle; }
  // Installs a context opened elsewhere; it is never closed here.
  virtual void SetFileHandle(AVFormatContext* AValue);

  bool opt_default(const std::string& opt, const std::string& arg);
  bool DefaultOptions(const std::string& AOptions);

  bool IsStreamOfType(int AStreamIndex, AVMediaType AType);
  bool IsAudioStream(int AStreamIndex);
  bool IsVideoStream(int AStreamIndex);
  bool IsSubtitleStream(int AStreamIndex);
  // Index -1: the first stream of the type.
  TAudioStreamInfo GetAudioStreamInfos(int Index);
  TVideoStreamInfo GetVideoStreamInfos(int Index);
  TSubtitleStreamInfo GetSubtitleStreamInfos(int Index);
  TAudioStreamInfo FirstAudioStreamInfo() { return GetAudioStreamInfos(-1); }
  TVideoStreamInfo FirstVideoStreamInfo() { return GetVideoStreamInfos(-1); }
  TSubtitleStreamInfo FirstSubtitleStreamInfo() { return GetSubtitleStreamInfos(-1); }
  TProgramInfo GetProgrames(int Index);
  TFileStreamInfo FileStreamInfo();
  std::string FileInfoText();

  std::int64_t FileSize() const { return FFileSize; }
  std::string FormatName();
  std::string FormatLongName();
  std::string FileName() const;
  int StreamCount() const { return FStreamCount; }
  int ProgramCount() const { return FProgramCount; }
  int AudioStreamCount() const { return FAudioStreamCount; }
  int VideoStreamCount() const { return FVideoStreamCount; }
  int SubtitleStreamCount() const { return FSubtitleStreamCount; }
  int FirstAudioStreamIndex() const { return FFirstAudioStreamIndex; }
  int FirstVideoStreamIndex() const { return FFirstVideoStreamIndex; }
  int FirstSubtitleStreamIndex() const { return FFirstSubtitleStreamIndex; }

  const std::string& LastErrMsg() const { return FLastErrMsg; }
  const std::string& ForceFormat() const { return FForceFormat; }
  bool TriggerEventInMainThread() const { return FTriggerEventInMainThread; }
  void SetTriggerEventInMainThread(bool v) { FTriggerEventInMainThread = v; }
  bool GetLongCodecName() const { return FGetLongCodecName; }
  void SetGetLongCodecName(bool v) { FGetLongCodecName = v; }
  void SetOnBeforeFindStreamInfo(TBeforeFindStreamInfoEvent e) {
    FOnBeforeFindStreamInfo = std::move(e);
  }
  TFFOptions& Options() { return FOptions; }

 protected:
  virtual void RefreshFileInfo();
  // Stores the message in LastErrMsg and logs it with this decoder as sender.
  void ReportError(const std::string& AMsg, int ALevel = AV_LOG_ERROR);
  // True when a file is open; reports "file not loaded." otherwise.
  bool CheckFileLoaded();
  std::string CodecName(AVCodecID id) const;
  // Starts the clock of the interrupt callback.
  void MarkRead();
  // The options the last LoadFile was given, for opening codecs.
  const TDictionary& LoadCodecOptions() const { return FLoadCodecOpts; }
  bool OwnHandle() const { return FOwnHandle; }
  // The options of a LoadFile named scaler flags.
  virtual void ScalerFlagsChanged(int /*AFlags*/) {}

 private:
  static int InterruptCallback(void* opaque);
  void closeHandle();
  std::int64_t computeFileSize() const;

  AVFormatContext* FFileHandle = nullptr;
  TFFOptions FOptions;
  bool FOwnHandle = false;
  std::string FLastErrMsg;
  std::string FForceFormat;
  std::int64_t FFileSize = -1;
  int FStreamCount = -1, FProgramCount = -1;
  int FAudioStreamCount = -1, FVideoStreamCount = -1, FSubtitleStreamCount = -1;
  int FFirstAudioStreamIndex = -1, FFirstVideoStreamIndex = -1, FFirstSubtitleStreamIndex = -1;
  bool FTriggerEventInMainThread = true;
  bool FGetLongCodecName = true;
  std::atomic<std::int64_t> FLastRead{0};
  TBeforeFindStreamInfoEvent FOnBeforeFindStreamInfo;
  std::string FDefaultOptions;
  TDictionary FLoadCodecOpts;
};

}  // namespace corvane
