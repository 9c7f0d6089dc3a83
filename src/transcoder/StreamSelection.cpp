#include "transcoder/StreamSelection.h"

#include <cstdint>
#include <optional>

extern "C" {
#include <libavcodec/codec_desc.h>
#include <libavutil/avutil.h>
}

namespace corvane {
namespace {

constexpr std::int64_t kReadBonus = 100000000;
constexpr std::int64_t kDefaultBonus = 5000000;

std::int64_t bonuses(const TStreamCandidate& c) {
  return (c.new_packets ? kReadBonus : 0) + (c.is_default ? kDefaultBonus : 0);
}

template <class Score>
int best(const std::vector<TStreamCandidate>& candidates, AVMediaType type, Score score) {
  int winner = -1;
  std::int64_t best_score = 0;
  for (int i = 0; i < static_cast<int>(candidates.size()); ++i) {
    const TStreamCandidate& c = candidates[i];
    if (c.type != type || c.disabled) continue;
    const auto s = score(c);
    if (!s || *s <= 0) continue;  // nothing to show or to hear
    if (winner < 0 || *s > best_score) {
      winner = i;
      best_score = *s;
    }
  }
  return winner;
}

}  // namespace

int BestVideoStream(const std::vector<TStreamCandidate>& candidates, bool muxer_takes_apic) {
  return best(candidates, AVMEDIA_TYPE_VIDEO, [&](const TStreamCandidate& c) {
    std::optional<std::int64_t> s;
    if (muxer_takes_apic && !c.attached_pic) return s;
    s = static_cast<std::int64_t>(c.width) * c.height + bonuses(c);
    if (c.attached_pic && !muxer_takes_apic) s = 1;
    return s;
  });
}

int BestAudioStream(const std::vector<TStreamCandidate>& candidates) {
  return best(candidates, AVMEDIA_TYPE_AUDIO, [](const TStreamCandidate& c) {
    return std::optional<std::int64_t>(c.channels + bonuses(c));
  });
}

int FirstSubtitleStream(const std::vector<TStreamCandidate>& candidates, bool codec_named,
                        bool encoder_has_descriptor, unsigned encoder_props) {
  constexpr unsigned kKinds = AV_CODEC_PROP_TEXT_SUB | AV_CODEC_PROP_BITMAP_SUB;
  for (int i = 0; i < static_cast<int>(candidates.size()); ++i) {
    const TStreamCandidate& c = candidates[i];
    if (c.type != AVMEDIA_TYPE_SUBTITLE || c.disabled) continue;
    const bool both = c.has_descriptor && encoder_has_descriptor;
    if (codec_named || (both && (c.codec_props & encoder_props & kKinds)) ||
        (both && (!c.codec_props || !encoder_props)))
      return i;
  }
  return -1;
}

int FirstDataStream(const std::vector<TStreamCandidate>& candidates, int codec_id) {
  for (int i = 0; i < static_cast<int>(candidates.size()); ++i) {
    const TStreamCandidate& c = candidates[i];
    if (c.type == AVMEDIA_TYPE_DATA && !c.disabled && c.codec_id == codec_id) return i;
  }
  return -1;
}

}  // namespace corvane
