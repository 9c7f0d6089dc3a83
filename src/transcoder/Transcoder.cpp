// Not built yet: replaced by the run work.
#include "transcoder/Transcoder.h"
namespace corvane {
TCustomFFmpeg::TCustomFFmpeg() = default;
TCustomFFmpeg::~TCustomFFmpeg() = default;
void TCustomFFmpeg::StartConvert(bool) { Fatal("not built"); }
void TCustomFFmpeg::Stop(bool) {}
void TCustomFFmpeg::Pause() {}
void TCustomFFmpeg::Resume() {}
void TCustomFFmpeg::Step() {}
bool TCustomFFmpeg::SendFilterCommand(const std::string&, const std::string&, const std::string&, int) { return false; }
bool TCustomFFmpeg::QueueFilterCommand(const std::string&, const std::string&, const std::string&, int, double) { return false; }
void TCustomFFmpeg::SetFrameRateEmulation(bool) {}
std::string TCustomFFmpeg::FatalMessage() const { return {}; }
void TCustomFFmpeg::ExecuteRun() {}
void TCustomFFmpeg::DoTerminate() {}
void TCustomFFmpeg::ReleaseTask() {}
void TCustomFFmpeg::FreeTaskData() {}
void TCustomFFmpeg::ServeCommands() {}
void TCustomFFmpeg::Join() {}
}  // namespace corvane
