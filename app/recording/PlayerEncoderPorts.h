// The recording bridge's ports over the player and encoder components.
#pragma once

#include <string>

#include "encoder/CustomEncoder.h"
#include "player/FFBasePlayer.h"
#include "recording/RecordingBridge.h"
#include "recording/RecordingPorts.h"

namespace corvane {

class TPlayerRecordPort : public TRecordPlayerPort {
 public:
  explicit TPlayerRecordPort(TFFBasePlayer& APlayer) : FPlayer(APlayer) {}
  bool HasVideo() const override;
  bool HasAudio() const override;
  std::string FileName() const override;
  double PlaybackSpeed() const override { return FPlayer.PlaybackSpeed(); }
  void SetHooks(bool AOn) override;

 private:
  TFFBasePlayer& FPlayer;
};

// Drives one encoder with one thread; takes its OnTerminate.
class TEncoderRecordPort : public TRecordEncoderPort {
 public:
  explicit TEncoderRecordPort(TCustomEncoder& AEncoder) : FEncoder(AEncoder) {}
  ~TEncoderRecordPort() override;
  void ClearTasks() override;
  int AddTask(const std::string& AUrl, const std::string& AOptions) override;
  int AddInput(int ATask, const std::string& AUrl, const std::string& AOptions) override;
  bool SetOutput(int ATask, const std::string& AFileName, const std::string& AOptions) override;
  void RemoveTask(int ATask) override;
  bool Start() override;
  void Stop() override;
  std::string LastErrMsg() const override;
  void SetOnTaskEnded(TEndedEvent AHandler) override;

 private:
  TCustomEncoder& FEncoder;
};

// Connects the player's frame and audio hooks to the bridge; Detach first
// when the bridge goes before the player.
void AttachRecordingHooks(TFFBasePlayer& APlayer, TRecordingBridge& ABridge);
void DetachRecordingHooks(TFFBasePlayer& APlayer);

// Loads nothing: registers the frame and wave input formats (harmless again).
void RegisterRecordingInputFormats();

}  // namespace corvane
