// The per-frame video synchronisation decision: how many output frames one
// filtered frame becomes (copies of the previous frame first), and the
// duplication/drop bookkeeping that follows from it. No library state.
#pragma once

#include <array>
#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

namespace corvane {

enum TVideoSyncMethod : int {
  VSYNC_AUTO = -1,
  VSYNC_PASSTHROUGH = 0,
  VSYNC_CFR = 1,
  VSYNC_VFR = 2,
  VSYNC_VSCFR = 0xfe,
  VSYNC_DROP = 0xff,
};

// What the method choice looks at.
struct TVideoSyncContext {
  int configured = VSYNC_AUTO;  // the global setting
  bool muxer_is_avi = false;
  int muxer_flags = 0;              // AVFMT_* flags of the output format
  bool single_plain_input = false;  // source file has one stream and no input offset
  bool copy_ts = false;
};

// The method for the next frame; auto resolves from the muxer's abilities.
int ChooseVideoSync(const TVideoSyncContext& c);

struct TVideoSyncInput {
  int method = VSYNC_CFR;         // already resolved
  bool have_frame = true;         // false at the end of the stream
  double sync_ipts = 0;           // exact timestamp of the frame in the encoder time base
  double duration = 0;            // frame duration in the encoder time base
  std::int64_t sync_opts = 0;     // next output timestamp
  std::int64_t frame_number = 0;  // frames emitted so far
  std::int64_t max_frames = INT64_MAX;
  double frame_drop_threshold = 0;
  double max_duplicates = 0;  // a larger run of copies is skipped instead
  int last_dropped = 0;
  std::array<int, 3> last_nb0_frames{};  // newest first
};

// Notes for the log.
enum class TVideoSyncNote {
  None,
  Clipped,       // frame started before the next slot: clip_amount frames
  PastDuration,  // as Clipped, but by more than 0.6 frames
  InitialSkip,   // leading gap not filled with copies (VSCFR): initial_frames
};

struct TVideoSyncDecision {
  std::int64_t nb0 = 0;  // copies of the previous frame
  std::int64_t nb = 0;   // frames to emit in total (copies included)
  std::int64_t sync_opts = 0;
  double sync_ipts = 0;
  std::array<int, 3> last_nb0_frames{};
  int last_dropped = 0;
  bool dropped_previous = false;     // the previous frame was never emitted: one drop
  bool too_many_duplicates = false;  // skip this call entirely, count one drop
  std::int64_t duplicated = 0;       // frames added by duplication
  TVideoSyncNote note = TVideoSyncNote::None;
  double clip_amount = 0;
  std::int64_t initial_frames = 0;
};

// The decision for one call of the video output step. Throws nothing; an
// unknown method leaves nb = -1 for the caller to reject.
TVideoSyncDecision DecideVideoSync(const TVideoSyncInput& in);

// The median of the last three copy counts (used at the end of the stream).
int MedianOf3(const std::array<int, 3>& v);

// Maximum number of frames a gap of `seconds` may be filled with, for frames
// of `time_base` duration.
double DuplicationCap(double seconds, AVRational time_base);

// a rescaled from time base b to c, rounded to nearest (halves away from
// zero); INT64_MIN when c is not positive.
std::int64_t RescaleQ(std::int64_t a, AVRational b, AVRational c);

// The frame time `pts` (in filter_tb) minus the output start (microseconds)
// in units of enc_tb, with up to 16 extra bits of precision kept as a
// fraction and nudged off exact halves so later rounding is stable.
double ExactFrameTimestamp(std::int64_t pts, AVRational filter_tb, AVRational enc_tb,
                           std::int64_t start_us);

}  // namespace corvane
