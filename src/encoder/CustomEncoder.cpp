#include "encoder/CustomEncoder.h"

#include "foundation/FFLoader.h"

namespace corvane {

TCustomEncoder::TCustomEncoder(TComponent* AOwner) : TFFBaseComponent(AOwner) {}

TCustomEncoder::~TCustomEncoder() { Shutdown(); }

void TCustomEncoder::Shutdown() {
  OnStart.Clear();
  OnTerminate.Clear();
  OnProgress.Clear();
  OnPreviewBitmap.Clear();
  OnBeforeFindStreamInfo.Clear();
  OnAudioInputHook.Clear();
  OnAudioOutputHook.Clear();
  OnVideoInputHook.Clear();
  OnVideoOutputHook.Clear();
  OnFrameInputHook.Clear();
  OnFrameOutputHook.Clear();
  FScheduler.CancelPending();
  StopLaunched(true);
  FReports.Drain();  // no report outlives the component
  FFFmpegList.TakeAll().clear();
}

bool TCustomEncoder::AVLibLoaded() const { return FFLoader().Loaded(LibrarySet); }

bool TCustomEncoder::LoadAVLib(const std::string& APath) {
  FFLoader().SetLibraryPath(APath);
  if (!FFLoader().Load(LibrarySet)) {
    FLastErrMsg = FFLoader().LastErrMsg();
    return false;
  }
  FFLoader().Load(libMFX);  // optional
  return true;
}

void TCustomEncoder::UnloadAVLib() {
  FFLoader().Unload(libMFX);
  FFLoader().Unload(LibrarySet);
}

TVUZezevud* TCustomEncoder::Decoders(int ATaskIndex, int AFileIndex) const {
  const auto task = FFFmpegList.Item(ATaskIndex);
  if (!task || AFileIndex < 0 || AFileIndex >= task->InputCount()) return nullptr;
  return task->Decoders(AFileIndex);
}

int TCustomEncoder::InputCount(int ATaskIndex) const {
  const auto task = FFFmpegList.Item(ATaskIndex);
  return task ? task->InputCount() : -1;
}

AVFormatContext* TCustomEncoder::InputFiles(int ATaskIndex, int AFileIndex) const {
  const auto task = FFFmpegList.Item(ATaskIndex);
  if (!task || AFileIndex < 0 || AFileIndex >= task->Fnb_input_files()) return nullptr;
  return task->Finput_files[AFileIndex]->ctx.get();
}

AVFormatContext* TCustomEncoder::OutputFiles(int ATaskIndex, int AFileIndex) const {
  const auto task = FFFmpegList.Item(ATaskIndex);
  if (!task || AFileIndex < 0 || AFileIndex >= task->Fnb_output_files()) return nullptr;
  return task->Foutput_files[AFileIndex]->ctx.get();
}

TInputOptions TCustomEncoder::InputOptions(int ATaskIndex, int AFileIndex) const {
  const auto task = FFFmpegList.Item(ATaskIndex);
  return task ? task->InputOptionsCopy(AFileIndex) : TInputOptions{};
}

TOutputOptions TCustomEncoder::OutputOptions(int ATaskIndex, int AFileIndex) const {
  const auto task = FFFmpegList.Item(ATaskIndex);
  return task ? task->OutputOptionsCopy(AFileIndex) : TOutputOptions{};
}

void TCustomEncoder::SetPreviewAudio(bool AValue) {
  FPreviewAudio = AValue;
  for (const auto& t : FFFmpegList.Snapshot()) t->SetPreviewAudio(AValue);
}

void TCustomEncoder::SetPreviewVideo(bool AValue) {
  FPreviewVideo = AValue;
  for (const auto& t : FFFmpegList.Snapshot())
    t->FHooks.SetPostHooksLocked((t->FHooks.PostHooks() & ~phPreview) |
                                 (AValue ? unsigned{phPreview} : 0u));
}

void TCustomEncoder::SetPreviewBitmap(bool AValue) {
  FPreviewBitmap = AValue;
  for (const auto& t : FFFmpegList.Snapshot())
    t->FHooks.SetPostHooksLocked((t->FHooks.PostHooks() & ~phBitmap) |
                                 (AValue ? unsigned{phBitmap} : 0u));
}

void TCustomEncoder::SetPreviewInterval(int AValue) {
  FPreviewInterval = AValue <= 10 ? 10 : AValue;
  for (const auto& t : FFFmpegList.Snapshot())
    t->FHooks.SetPreviewInterval(std::int64_t{FPreviewInterval} * 1000);
}

void TCustomEncoder::SetProgressInterval(int AValue) {
  FProgressInterval = AValue <= 10 ? 10 : AValue;
  for (const auto& t : FFFmpegList.Snapshot())
    t->FReportInterval = std::int64_t{FProgressInterval} * 1000;
}

void TCustomEncoder::SetReadTimeout(std::int32_t AValue) {
  TFFBaseComponent::SetReadTimeout(AValue);
  for (const auto& t : FFFmpegList.Snapshot()) t->FReadTimeout = AValue;
}

void TCustomEncoder::SetWriteTimeout(std::int32_t AValue) {
  TFFBaseComponent::SetWriteTimeout(AValue);
  for (const auto& t : FFFmpegList.Snapshot()) t->FWriteTimeout = AValue;
}

bool TCustomEncoder::FrameRateEmulation() const {
  for (const auto& t : FFFmpegList.Snapshot())
    for (const auto& f : t->Finput_files)
      if (f->rate_emu) return true;
  return false;
}

void TCustomEncoder::SetFrameRateEmulation(bool AValue) {
  for (const auto& t : FFFmpegList.Snapshot()) t->SetFrameRateEmulation(AValue);
}

}  // namespace corvane
