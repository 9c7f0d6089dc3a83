#include "encoder/Task.h"

namespace corvane {

TFFmpeg::~TFFmpeg() {
  FOnProgress = nullptr;
  FOnTerminate = nullptr;
  FOnBeforeFindStreamInfo = nullptr;
  FHooks.OnInputAudioHook.Clear();
  FHooks.OnOutputAudioHook.Clear();
  FHooks.OnInputVideoHook.Clear();
  FHooks.OnOutputVideoHook.Clear();
  FHooks.OnInputFrameHook.Clear();
  FHooks.OnOutputFrameHook.Clear();
  FHooks.OnPreviewBitmap.Clear();
  // The engine's destructor stops and joins the run before the records go;
  // the decoders only borrow the inputs' format contexts.
  StopOrTerminate(true);
  FDecoders.clear();
}

TVUZezevud* TFFmpeg::Decoders(int AFileIndex) {
  if (AFileIndex < 0) return nullptr;
  if (static_cast<std::size_t>(AFileIndex) >= FDecoders.size()) FDecoders.resize(AFileIndex + 1);
  auto& d = FDecoders[AFileIndex];
  if (!d) {
    d = std::make_unique<TVUZezevud>();
    if (AFileIndex < Fnb_input_files() && Finput_files[AFileIndex]->ctx)
      d->SetFileHandle(Finput_files[AFileIndex]->ctx.get());
  }
  return d.get();
}

void TFFmpeg::AttachDecoder(int AFileIndex) { Decoders(AFileIndex); }

TInputOptions& TFFmpeg::InputOptions(int AFileIndex) {
  if (static_cast<std::size_t>(AFileIndex) >= FInputOptions.size())
    FInputOptions.resize(AFileIndex + 1);
  return FInputOptions[AFileIndex];
}

TOutputOptions& TFFmpeg::OutputOptions(int AFileIndex) {
  if (static_cast<std::size_t>(AFileIndex) >= FOutputOptions.size())
    FOutputOptions.resize(AFileIndex + 1);
  return FOutputOptions[AFileIndex];
}

TInputOptions TFFmpeg::InputOptionsCopy(int AFileIndex) const {
  if (AFileIndex < 0 || static_cast<std::size_t>(AFileIndex) >= FInputOptions.size()) return {};
  return FInputOptions[AFileIndex];
}

TOutputOptions TFFmpeg::OutputOptionsCopy(int AFileIndex) const {
  if (AFileIndex < 0 || static_cast<std::size_t>(AFileIndex) >= FOutputOptions.size()) return {};
  return FOutputOptions[AFileIndex];
}

}  // namespace corvane
