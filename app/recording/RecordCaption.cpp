#include "recording/RecordCaption.h"

namespace corvane {

std::string RecordButtonCaption(TRecordState AState, int& ACounter) {
  static const char* const kCaptions[] = {"Record   ", "Record.  ", "Record.. ", "Record..."};
  if (AState == rsIdle) return "Record";
  if (++ACounter >= 4 || ACounter < 0) ACounter = 0;
  return kCaptions[ACounter];
}

}  // namespace corvane
