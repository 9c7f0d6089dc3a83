#include "recording/PlayerEncoderPorts.h"

#include "capture/FrameInputFormat.h"
#include "capture/WaveInputFormat.h"

namespace corvane {

bool TPlayerRecordPort::HasVideo() const { return FPlayer.VideoStreamIndex() >= 0; }
bool TPlayerRecordPort::HasAudio() const { return FPlayer.AudioStreamIndex() >= 0; }
std::string TPlayerRecordPort::FileName() const { return FPlayer.FileName(); }

void TPlayerRecordPort::SetHooks(bool AOn) {
  FPlayer.SetFrameHook(AOn);
  FPlayer.SetAudioHook(AOn);
}

TEncoderRecordPort::~TEncoderRecordPort() { FEncoder.OnTerminate.Clear(); }

void TEncoderRecordPort::ClearTasks() { FEncoder.ClearTasks(); }

int TEncoderRecordPort::AddTask(const std::string& AUrl, const std::string& AOptions) {
  return FEncoder.AddTask(AUrl, AOptions);
}

int TEncoderRecordPort::AddInput(int ATask, const std::string& AUrl, const std::string& AOptions) {
  return FEncoder.AddInput(ATask, AUrl, AOptions);
}

bool TEncoderRecordPort::SetOutput(int ATask, const std::string& AFileName,
                                   const std::string& AOptions) {
  return FEncoder.SetOutput(ATask, AFileName, AOptions) >= 0;
}

void TEncoderRecordPort::RemoveTask(int ATask) { FEncoder.RemoveTask(ATask); }
bool TEncoderRecordPort::Start() { return FEncoder.Start(1); }
void TEncoderRecordPort::Stop() { FEncoder.Stop(true); }
std::string TEncoderRecordPort::LastErrMsg() const { return FEncoder.LastErrMsg(); }

void TEncoderRecordPort::SetOnTaskEnded(TEndedEvent AHandler) {
  if (!AHandler) {
    FEncoder.OnTerminate.Clear();
    return;
  }
  FEncoder.OnTerminate.Set([h = std::move(AHandler)](TObject*, const TTerminateInfo& AInfo) {
    if (AInfo.TaskIndex < 0) return;  // the run's final report
    h(AInfo.Exception ? AInfo.ExceptionMsg : std::string());
  });
}

void AttachRecordingHooks(TFFBasePlayer& APlayer, TRecordingBridge& ABridge) {
  APlayer.OnFrameHook = [&ABridge](TObject*, const PicturePlanes& APicture, AVPixelFormat APixFmt,
                                   int AWidth, int AHeight, std::int64_t APTS) {
    ABridge.FrameHook(APicture, APixFmt, AWidth, AHeight, APTS);
  };
  APlayer.OnAudioHook = [&ABridge](TObject*, std::int64_t APTS, const std::uint8_t* ASample,
                                   int ASize, int ASampleRate, int AChannels) {
    ABridge.AudioHook(APTS, ASample, ASize, ASampleRate, AChannels);
  };
}

void DetachRecordingHooks(TFFBasePlayer& APlayer) {
  APlayer.OnFrameHook = nullptr;
  APlayer.OnAudioHook = nullptr;
}

void RegisterRecordingInputFormats() {
  RegisterFrameInputFormat();
  RegisterWaveInputFormat();
}

}  // namespace corvane
