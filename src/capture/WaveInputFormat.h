// The "waveinput" input format: one PCM audio stream whose packets a
// TWaveInputAdapter fills. The input's file name is the adapter's
// RegistryUrl(); options: sample_rate, channels, sample_fmt (u8, s16, s32).
#pragma once

extern "C" {
struct AVInputFormat;
}

namespace corvane {

// The format record, added to the application's input formats on the first
// call; later calls return the same record. Any thread.
const AVInputFormat* RegisterWaveInputFormat();

}  // namespace corvane
