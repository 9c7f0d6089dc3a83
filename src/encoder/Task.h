// One encoder task: the transcoding engine with a decoder per input and the
// option records the application gave for each file.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "decoder/VUZezevud.h"
#include "encoder/EncoderTypes.h"
#include "transcoder/Transcoder.h"

namespace corvane {

class TCustomEncoder;

class TFFmpeg : public TCustomFFmpeg {
 public:
  explicit TFFmpeg(TCustomEncoder* AParent) : FParent(AParent) {}
  ~TFFmpeg() override;
  const char* ClassName() const override { return "TFFmpeg"; }

  // The decoder of an input, created on first request (borrowing the
  // input's format context when it is open).
  TVUZezevud* Decoders(int AFileIndex);
  // Slots are created in the reset state on first access.
  TInputOptions& InputOptions(int AFileIndex);
  TOutputOptions& OutputOptions(int AFileIndex);
  // Copies, or a reset record for an index never stored.
  TInputOptions InputOptionsCopy(int AFileIndex) const;
  TOutputOptions OutputOptionsCopy(int AFileIndex) const;
  int InputCount() const { return Fnb_input_files(); }
  TCustomEncoder* Parent() const { return FParent; }
  // Attaches a decoder to the opened input AFileIndex.
  void AttachDecoder(int AFileIndex);
  // Set once the component started (or skipped) this task's run.
  std::atomic<bool> FLaunched{false};

 private:
  TCustomEncoder* FParent;
  std::vector<std::unique_ptr<TVUZezevud>> FDecoders;
  std::vector<TInputOptions> FInputOptions;
  std::vector<TOutputOptions> FOutputOptions;
};

}  // namespace corvane
