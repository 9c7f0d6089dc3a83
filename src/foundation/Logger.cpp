// TEMPORARY placeholder, replaced by the logger.
#include "foundation/Logger.h"
namespace corvane {
TFFLogger::TFFLogger(TComponent* o) : TFFBaseComponent(o) {}
TFFLogger::~TFFLogger() = default;
void TFFLogger::InstallAVLogCallback() {}
int TFFLogger::Log(TObject*, TLogLevel, const std::string&) { return 0; }
TFFLogger& FFLogger() { static TFFLogger l; return l; }
}
