// The Record button's caption, animated by a 500 ms timer.
#pragma once

#include <string>

#include "recording/RecordingBridge.h"

namespace corvane {

// One timer tick: "Record" when idle; while armed or recording, ACounter
// advances (wrapping from 4 to 0) and picks "Record   ", "Record.  ",
// "Record.. " or "Record...". The counter keeps its place between recordings.
std::string RecordButtonCaption(TRecordState AState, int& ACounter);

}  // namespace corvane
