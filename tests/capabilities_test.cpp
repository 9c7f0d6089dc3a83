// Capability listings of the loader, checked against the system's media libraries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "foundation/Errors.h"
#include "foundation/FFLoader.h"

namespace corvane {
namespace {

using Lines = std::vector<std::string>;
using Listing = int (TFFLoader::*)(std::vector<std::string>&) const;

// What the returned count measures.
enum class Count {
  Items,        // every line after the header, less `uncounted`
  AfterMarker,  // the lines after `marker`
  Descriptors,  // the number of codec descriptors
};

struct ListingCase {
  const char* name = "";
  Listing fn = nullptr;
  Lines header{};
  Lines known{};  // lines that must appear after the header
  bool knownInOrder = true;
  Count count = Count::Items;
  int uncounted = 0;
  std::string marker{};
  int exactCount = -1;
  bool ascendingFormatNames = false;
  Lines forbiddenPrefixes{};  // no line after the header starts with one of these
};

void PrintTo(const ListingCase& c, std::ostream* os) { *os << c.name; }

const Lines kFormatHeader = {"File formats:", " D. = Demuxing supported", " .E = Muxing supported",
                             " --"};
const Lines kDeviceHeader = {"Devices:", " D. = Demuxing supported", " .E = Muxing supported",
                             " --"};
const Lines kCoderHeaderTail = {" V..... = Video",
                                " A..... = Audio",
                                " S..... = Subtitle",
                                " .F.... = Frame-level multithreading",
                                " ..S... = Slice-level multithreading",
                                " ...X.. = Codec is experimental",
                                " ....B. = Supports draw_horiz_band",
                                " .....D = Supports direct rendering method 1",
                                " ------"};

Lines withTitle(const char* title, const Lines& tail) {
  Lines l{title};
  l.insert(l.end(), tail.begin(), tail.end());
  return l;
}

const std::vector<ListingCase>& cases() {
  static const std::vector<ListingCase> kCases = {
      {.name = "Codecs",
       .fn = &TFFLoader::GetCodecs,
       .header = {"Codecs:", " D..... = Decoding supported", " .E.... = Encoding supported",
                  " ..V... = Video codec", " ..A... = Audio codec", " ..S... = Subtitle codec",
                  " ...I.. = Intra frame-only codec", " ....L. = Lossy compression",
                  " .....S = Lossless compression", " -------"},
       .known = {" DEAIL. mp3                  MP3 (MPEG audio layer 3) (decoders: mp3float mp3 ) "
                 "(encoders: libmp3lame libshine )",
                 " DEAI.S pcm_s16le            PCM signed 16-bit little-endian",
                 " ..D... ttf                  TrueType font",
                 " DES... ass                  ASS (Advanced SSA) subtitle (decoders: ssa ass ) "
                 "(encoders: ssa ass )"}},
      {.name = "Decoders",
       .fn = &TFFLoader::GetDecoders,
       .header = withTitle("Decoders:", kCoderHeaderTail),
       .known = {" VFS..D h264                 H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10",
                 " V.S.BD mpegvideo            MPEG-1 video (codec mpeg2video)",
                 " A....D mp3float             MP3 (MPEG audio layer 3) (codec mp3)",
                 " A....D pcm_s16le            PCM signed 16-bit little-endian"},
       .count = Count::Descriptors},
      {.name = "Encoders",
       .fn = &TFFLoader::GetEncoders,
       .header = withTitle("Encoders:", kCoderHeaderTail),
       .known = {" A....D pcm_s16le            PCM signed 16-bit little-endian",
                 " A..X.. vorbis               Vorbis",
                 " A....D libvorbis            libvorbis (codec vorbis)"},
       .count = Count::Descriptors},
      {.name = "Formats",
       .fn = &TFFLoader::GetFormats,
       .header = kFormatHeader,
       .known = {" DE alsa            ALSA audio output",
                 " D  mov,mp4,m4a,3gp,3g2,mj2 QuickTime / MOV",
                 "  E mp4             MP4 (MPEG-4 Part 14)",
                 " DE wav             WAV / WAVE (Waveform Audio)"},
       .ascendingFormatNames = true},
      {.name = "Demuxers",
       .fn = &TFFLoader::GetDemuxers,
       .header = kFormatHeader,
       .known = {" D  alsa            ALSA audio input",
                 " D  wav             WAV / WAVE (Waveform Audio)"},
       .ascendingFormatNames = true,
       .forbiddenPrefixes = {" DE", "  E"}},
      {.name = "Muxers",
       .fn = &TFFLoader::GetMuxers,
       .header = kFormatHeader,
       .known = {"  E mp4             MP4 (MPEG-4 Part 14)",
                 "  E wav             WAV / WAVE (Waveform Audio)"},
       .ascendingFormatNames = true,
       .forbiddenPrefixes = {" DE", " D "}},
      {.name = "Devices",
       .fn = &TFFLoader::GetDevices,
       .header = kDeviceHeader,
       .known = {" DE alsa            ALSA audio output",
                 " D  lavfi           Libavfilter virtual input device", " D  libcdio        ",
                 "  E xv              XV (XVideo) output device"},
       .ascendingFormatNames = true,
       .forbiddenPrefixes = {" DE wav ", " D  mov,", "  E mp4 "}},
      {.name = "Filters",
       .fn = &TFFLoader::GetFilters,
       .header = {"Filters:", "  T.. = Timeline support", "  .S. = Slice threading",
                  "  ..C = Command support", "  A = Audio input/output", "  V = Video input/output",
                  "  N = Dynamic number and/or type of input/output",
                  "  | = Source or sink filter"},
       .known = {" ... anull             A->A       Pass the source unchanged to the output.",
                 " ..C amix              N->A       Audio mixing.",
                 " TSC overlay           VV->V      Overlay a video source on top of the input.",
                 " ... nullsrc           |->V       Null video source, return unprocessed video "
                 "frames.",
                 " ... nullsink          V->|       Do absolutely nothing with the input video.",
                 " ..C concat            N->N       Concatenate audio and video streams.",
                 " ... split             V->N       Pass on the input to N video outputs.",
                 " T.C volume            A->A       Change input volume.",
                 " TS. hflip             V->V       Horizontally flip the input video."},
       .knownInOrder = false},
      {.name = "Protocols",
       .fn = &TFFLoader::GetProtocols,
       .header = {"Supported file protocols:", "Input:"},
       .known = {"  bluray", "  file", "Output:", "  file", "  icecast"},
       .uncounted = 1},
      {.name = "Layouts",
       .fn = &TFFLoader::GetLayouts,
       .header = {"Individual channels:", "NAME           DESCRIPTION"},
       .known = {"FL             front left", "LFE2           low frequency 2",
                 "BFR            bottom front right", "", "Standard channel layouts:",
                 "NAME           DECOMPOSITION", "mono           FC", "stereo         FL+FR",
                 "5.1            FL+FR+FC+LFE+BL+BR", "downmix        DL+DR",
                 "22.2           FL+FR+FC+LFE+BL+BR+FLC+FRC+BC+SL+SR+TC+TFL+TFC+TFR+TBL+TBC+TBR+"
                 "LFE2+TSL+TSR+BFC+BFL+BFR"},
       .count = Count::AfterMarker,
       .marker = "NAME           DECOMPOSITION",
       .forbiddenPrefixes = {"USR"}},
      {.name = "PixFmts",
       .fn = &TFFLoader::GetPixFmts,
       .header = {"Pixel formats:", "I.... = Supported Input  format for conversion",
                  ".O... = Supported Output format for conversion",
                  "..H.. = Hardware accelerated format", "...P. = Paletted format",
                  "....B = Bitstream format", "FLAGS NAME            NB_COMPONENTS BITS_PER_PIXEL",
                  "-----"},
       .known = {"IO... yuv420p                3            12",
                 "IO..B monob                  1             1",
                 "I..P. pal8                   1             8",
                 "..H.. vaapi                  0             0"}},
      {.name = "SampleFmts",
       .fn = &TFFLoader::GetSampleFmts,
       .header = {"name   depth"},
       .known = {"u8        8 ", "s16      16 ", "s64p     64 "},
       .exactCount = 12},
  };
  return kCases;
}

class CapabilityListing : public ::testing::TestWithParam<ListingCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
  }
};

TEST_P(CapabilityListing, LayoutCountAndAppend) {
  const ListingCase& c = GetParam();
  Lines list{"kept"};
  const int n = (FFLoader().*c.fn)(list);
  ASSERT_EQ(list.front(), "kept");
  ASSERT_GT(list.size(), 1 + c.header.size());

  const Lines header(list.begin() + 1, list.begin() + 1 + c.header.size());
  EXPECT_EQ(header, c.header);
  const Lines items(list.begin() + 1 + c.header.size(), list.end());

  auto from = items.begin();
  for (const std::string& line : c.known) {
    auto it = std::find(c.knownInOrder ? from : items.begin(), items.end(), line);
    EXPECT_NE(it, items.end()) << "missing or out of order: \"" << line << "\"";
    if (it != items.end()) from = it + 1;
  }

  switch (c.count) {
    case Count::Items:
      EXPECT_EQ(n, static_cast<int>(items.size()) - c.uncounted);
      break;
    case Count::AfterMarker: {
      const auto marker = std::find(items.begin(), items.end(), c.marker);
      ASSERT_NE(marker, items.end());
      EXPECT_EQ(n, items.end() - marker - 1);
      break;
    }
    case Count::Descriptors: {
      Lines codecs;
      EXPECT_EQ(n, FFLoader().GetCodecs(codecs));
      break;
    }
  }
  if (c.exactCount >= 0) {
    EXPECT_EQ(n, c.exactCount);
  }

  for (const std::string& line : items)
    for (const std::string& prefix : c.forbiddenPrefixes)
      EXPECT_FALSE(line.starts_with(prefix)) << "\"" << line << "\"";

  if (c.ascendingFormatNames) {
    // " DE name..." : the name runs from column 4 to the first blank.
    std::string previous;
    for (const std::string& line : items) {
      const std::string name = line.substr(4, line.find(' ', 4) - 4);
      EXPECT_LT(previous, name) << "\"" << line << "\"";
      previous = name;
    }
  }

  Lines twice = list;
  EXPECT_EQ((FFLoader().*c.fn)(twice), n);
  const std::size_t one = list.size() - 1;
  ASSERT_EQ(twice.size(), 1 + 2 * one);
  EXPECT_TRUE(std::equal(list.begin(), list.end(), twice.begin()));
  EXPECT_TRUE(std::equal(list.begin() + 1, list.end(), twice.begin() + 1 + one));
}

INSTANTIATE_TEST_SUITE_P(Capabilities, CapabilityListing, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

std::string lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

int typeRank(char letter) { return static_cast<int>(std::string("VADST").find(letter)); }

// Descriptors are ordered by media type, then by name ignoring case; the
// decoder and encoder listings follow the same descriptor order.
TEST(Capabilities, CodecListingsFollowDescriptorOrder) {
  ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
  Lines codecs;
  FFLoader().GetCodecs(codecs);
  ASSERT_GT(codecs.size(), 10u);
  std::pair<int, std::string> previous{-2, ""};
  for (auto it = codecs.begin() + 10; it != codecs.end(); ++it) {
    // " DEVILS name ..."
    const std::pair<int, std::string> key{typeRank((*it)[3]),
                                          lower(it->substr(8, it->find(' ', 8) - 8))};
    EXPECT_LE(previous, key) << "\"" << *it << "\"";
    previous = key;
  }
  EXPECT_GE(previous.first, typeRank('S'));  // the listing runs through all media types

  for (Listing fn : {&TFFLoader::GetDecoders, &TFFLoader::GetEncoders}) {
    Lines coders;
    (FFLoader().*fn)(coders);
    int rank = -2;
    for (auto it = coders.begin() + 10; it != coders.end(); ++it) {
      EXPECT_LE(rank, typeRank((*it)[1])) << "\"" << *it << "\"";
      rank = typeRank((*it)[1]);
    }
  }
}

TEST(Capabilities, ListingsThrowBeforeLoading) {
  const TFFLoader loader;  // nothing loaded by this instance
  for (const ListingCase& c : cases()) {
    SCOPED_TRACE(c.name);
    Lines list{"kept"};
    try {
      (loader.*c.fn)(list);
      ADD_FAILURE() << "no exception";
    } catch (const ELibraryError& e) {
      EXPECT_STREQ(e.what(), "Library avutil not loaded.");
    }
    EXPECT_EQ(list, Lines{"kept"});
  }
}

}  // namespace
}  // namespace corvane
