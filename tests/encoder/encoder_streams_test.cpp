// Tasks built with stream inputs and outputs.
#include <fstream>

#include "encoder/EncoderRig.h"
#include "support/MediaReadBack.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace std::chrono_literals;
namespace media = corvane::testmedia;

namespace {

class EncoderStreamsTest : public testrig::EncoderTest {};

TEST_F(EncoderStreamsTest, AStreamInputIntoAStreamOutput) {
  testrig::EncoderWatchdog dog(60s);
  const std::string src = media::ensure(media::Kind::Mp4H264Aac);
  std::ifstream file(src, std::ios::binary);
  auto in = std::make_shared<TMemoryStream>(
      std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
  auto out = std::make_shared<TMemoryStream>();
  ASSERT_EQ(enc_->AddTask(in, "in"), 0) << enc_->LastErrMsg();
  TOutputOptions o;
  o.Options = "-c copy -f matroska";
  ASSERT_EQ(enc_->SetOutput(0, out, "out", &o), 0) << enc_->LastErrMsg();
  recordEvents();
  ASSERT_TRUE(enc_->Start(1));
  pumpUntilEnd();
  ASSERT_EQ(log_events.count("term0"), 1);
  {
    std::lock_guard g(log_events.lock);
    EXPECT_TRUE(infos.at(0).Finished) << infos.at(0).ExceptionMsg;
  }
  const std::string back = path("back.mkv");
  std::ofstream(back, std::ios::binary) << out->Data();
  const testrig::MediaReadBack got = testrig::readBack(back);
  const testrig::MediaReadBack want = testrig::readBack(src);
  ASSERT_TRUE(got.opened);
  ASSERT_EQ(got.streams.size(), want.streams.size());
  for (std::size_t i = 0; i < got.streams.size(); ++i)
    EXPECT_EQ(got.streams[i].packets, want.streams[i].packets);
}

TEST_F(EncoderStreamsTest, NullOrUnknownStreamsAreRefused) {
  EXPECT_LT(enc_->AddTask(std::shared_ptr<TStream>(), ""), 0);
  EXPECT_EQ(enc_->LastErrMsg(), "Invalid stream object");
  EXPECT_LT(enc_->AddTask("memory:99999999999:x"), 0);
  EXPECT_NE(enc_->LastErrMsg().find("Invalid stream object"), std::string::npos)
      << enc_->LastErrMsg();
  EXPECT_EQ(enc_->TasksCount(), 0);
  ASSERT_EQ(addTask(0.2), 0);
  EXPECT_LT(enc_->SetOutput(0, std::shared_ptr<TStream>(), ""), 0);
  EXPECT_EQ(enc_->LastErrMsg(), "Invalid stream object");
}

}  // namespace
