// Which input streams an output takes when it has no -map: pure functions
// over descriptions of the input streams.
#pragma once

#include <vector>

namespace corvane {

struct TStreamCandidate {
  int type = -1;          // AVMediaType
  bool disabled = false;  // its kind was disabled on the input (-vn, -an, ...)
  int width = 0;
  int height = 0;
  int channels = 0;
  bool new_packets = false;  // the probe read packets of it
  bool is_default = false;   // "default" disposition
  bool attached_pic = false;
  int codec_id = 0;
  unsigned codec_props = 0;  // descriptor properties
  bool has_descriptor = false;
};

// Index into candidates of the best stream, or -1.
// Video: the largest picture wins; read packets and the default disposition
// add to the score; attached pictures score 1 unless the muxer takes them, in
// which case only attached pictures qualify. First one on ties.
int BestVideoStream(const std::vector<TStreamCandidate>& candidates, bool muxer_takes_apic);
// Audio: the most channels, with the same bonuses.
int BestAudioStream(const std::vector<TStreamCandidate>& candidates);
// The first subtitle stream the muxer's subtitle encoder can take: any one
// when a subtitle codec is named, else one whose descriptor shares the text
// or bitmap property with the encoder's (or either has no properties).
int FirstSubtitleStream(const std::vector<TStreamCandidate>& candidates, bool codec_named,
                        bool encoder_has_descriptor, unsigned encoder_props);
// The first data stream with exactly the muxer's data codec.
int FirstDataStream(const std::vector<TStreamCandidate>& candidates, int codec_id);

}  // namespace corvane
