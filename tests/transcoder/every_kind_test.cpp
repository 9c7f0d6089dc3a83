// Every kind of generated media through one task with the muxer's automatic
// selection: it finishes, and what it wrote reads back with every kind of
// stream the input offers. Broken inputs fail cleanly. The long kinds are cut
// to their first second.
#include <gtest/gtest.h>

#include "support/MediaReadBack.h"
#include "support/TranscoderRig.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
namespace media = corvane::testmedia;

namespace {

class EveryKindTest : public testrig::TranscoderTest {};

bool long_kind(media::Kind k) {
  return k == media::Kind::Bench1080p || k == media::Kind::Solid1080p || k == media::Kind::Aac60s ||
         k == media::Kind::NumberedGop60;
}

bool broken(media::Kind k) {
  return k == media::Kind::RandomBytesMp4 || k == media::Kind::EmptyMkv;
}

TEST_F(EveryKindTest, EachKindConvertsOrFailsCleanly) {
  for (media::Kind kind : media::kAllKinds) {
    SCOPED_TRACE(media::kindName(kind));
    const std::string in = media::ensure(kind);
    const std::string out = path("out.mkv");
    TCustomFFmpeg& task = newTask();
    if (broken(kind)) {
      EXPECT_LT(openInput("", in), 0);
      EXPECT_FALSE(task.FLastErrMsg.empty());
      continue;
    }
    ASSERT_GE(openInput("", in), 0) << task.FLastErrMsg;
    const bool cut = long_kind(kind);
    ASSERT_GE(openOutput(std::string(cut ? "-t 1 " : "") + "-y -c:v mpeg4 -c:a mp2", out), 0)
        << task.FLastErrMsg;
    std::vector<AVMediaType> wanted;
    for (const auto& ost : task.Foutput_streams) wanted.push_back(ost->st->codecpar->codec_type);
    task.StartConvert(false);
    ASSERT_TRUE(task.Finished()) << task.FatalMessage();

    const testrig::MediaReadBack back = testrig::readBack(out);
    ASSERT_TRUE(back.opened);
    ASSERT_EQ(back.streams.size(), wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      EXPECT_EQ(back.streams[i].type, wanted[i]);
      EXPECT_GT(back.streams[i].packets, 0) << "stream " << i;
      if (cut) {
        EXPECT_LT(back.streams[i].span(), 1.1) << "stream " << i;
        EXPECT_GT(back.streams[i].span(), 0.9) << "stream " << i;
      }
    }
    if (const testrig::StreamReadBack* v = back.first(AVMEDIA_TYPE_VIDEO)) {
      EXPECT_GT(v->width, 0);
    }
  }
}

}  // namespace
