// Tasks that read their input from and write their output to registered
// streams named "memory:ID:PRIVATE".
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/StreamIO.h"
#include "support/MediaReadBack.h"
#include "support/TranscoderRig.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
namespace media = corvane::testmedia;

namespace {

std::string slurp(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A memory stream whose reads or writes fail once a number of bytes passed.
class TFailingStream : public TMemoryStream {
 public:
  TFailingStream(std::string data, std::int64_t read_limit, std::int64_t write_limit)
      : TMemoryStream(std::move(data)), read_left_(read_limit), write_left_(write_limit) {}
  int Read(std::uint8_t* data, int size) override {
    if ((read_left_ -= size) < 0) return -1;
    return TMemoryStream::Read(data, size);
  }
  int Write(const std::uint8_t* data, int size) override {
    if ((write_left_ -= size) < 0) return -1;
    return TMemoryStream::Write(data, size);
  }

 private:
  std::int64_t read_left_;
  std::int64_t write_left_;
};

class StreamIOTest : public testrig::TranscoderTest {
 protected:
  // Runs one input into one output; whether the task finished.
  bool run(const std::string& in, const std::string& out_options, const std::string& out) {
    TCustomFFmpeg& task = newTask();
    if (openInput("", in) < 0 || openOutput(out_options, out) < 0) return false;
    task.StartConvert(false);
    return task.Finished();
  }
  // The media in a buffer, read back through a file.
  testrig::MediaReadBack readBackData(const std::string& data) {
    const std::string file = path("readback.bin");
    std::ofstream(file, std::ios::binary) << data;
    return testrig::readBack(file);
  }
};

TEST_F(StreamIOTest, Mp4FromAStreamIntoAStreamReadsBack) {
  const std::string src = media::ensure(media::Kind::Mp4H264Aac);
  const testrig::MediaReadBack want = testrig::readBack(src);
  ASSERT_TRUE(want.opened);
  for (const char* format : {"matroska", "nut"}) {
    SCOPED_TRACE(format);
    auto in = std::make_shared<TMemoryStream>(slurp(src));
    auto out = std::make_shared<TMemoryStream>();
    ASSERT_TRUE(run(MemoryStreamName(*in, "in"), std::string("-c copy -f ") + format,
                    MemoryStreamName(*out, "out")))
        << engine_->FLastErrMsg;
    const testrig::MediaReadBack got = readBackData(out->Data());
    ASSERT_TRUE(got.opened);
    ASSERT_EQ(got.streams.size(), want.streams.size());
    for (std::size_t i = 0; i < got.streams.size(); ++i) {
      EXPECT_EQ(got.streams[i].codec, want.streams[i].codec);
      EXPECT_EQ(got.streams[i].packets, want.streams[i].packets);
    }
  }
}

// The open file holds its stream while the caller may have dropped it, and
// lets it go when the task ends.
TEST_F(StreamIOTest, TheOpenFileHoldsItsStream) {
  const std::string src = media::ensure(media::Kind::Mp4H264Aac);
  auto in = std::make_shared<TMemoryStream>(slurp(src));
  auto out = std::make_shared<TMemoryStream>();
  std::weak_ptr<TMemoryStream> kept = in;
  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("", MemoryStreamName(*in)), 0) << task.FLastErrMsg;
  ASSERT_GE(openOutput("-c copy -f nut", MemoryStreamName(*out)), 0) << task.FLastErrMsg;
  in.reset();
  EXPECT_FALSE(kept.expired());
  task.StartConvert(false);
  EXPECT_TRUE(task.Finished()) << task.FatalMessage();
  EXPECT_TRUE(readBackData(out->Data()).opened);
  engine_.reset();
  EXPECT_TRUE(kept.expired());
}

// A name whose id is malformed or names no live stream is refused with a
// message, for inputs and outputs alike.
TEST_F(StreamIOTest, UnknownIdsAreRefused) {
  const std::string src = media::ensure(media::Kind::Mp4H264Aac);
  std::string gone;
  {
    auto dead = std::make_shared<TMemoryStream>();
    gone = MemoryStreamName(*dead);
  }
  struct NotAStream : TRegisteredObject {};
  auto other = std::make_shared<NotAStream>();
  const std::string names[] = {"memory:",    "memory:abc:x",
                               "memory:-1:", "memory:99999999999:",
                               gone,         "memory:" + other->RegistryUrl() + ":"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    newTask();
    EXPECT_LT(openInput("", name), 0);
    EXPECT_NE(engine_->FLastErrMsg.find("Invalid stream object"), std::string::npos)
        << engine_->FLastErrMsg;
    TCustomFFmpeg& task = newTask();
    ASSERT_GE(openInput("", src), 0) << task.FLastErrMsg;
    EXPECT_LT(openOutput("-c copy -f nut", name), 0);
    EXPECT_NE(task.FLastErrMsg.find("Invalid stream object"), std::string::npos)
        << task.FLastErrMsg;
  }
}

// A stream that fails part-way ends the task as failed, never as finished.
TEST_F(StreamIOTest, AFailingStreamFailsTheTask) {
  const std::string data = slurp(media::ensure(media::Kind::Mp4H264Aac));
  const auto half = static_cast<std::int64_t>(data.size() / 2);
  struct Case {
    const char* what;
    std::int64_t read_limit, write_limit;
  };
  const Case cases[] = {{"read at once", 0, INT64_MAX},
                        {"read half-way", half, INT64_MAX},
                        {"write", INT64_MAX, 4096}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto in = std::make_shared<TFailingStream>(data, c.read_limit, INT64_MAX);
    auto out = std::make_shared<TFailingStream>("", INT64_MAX, c.write_limit);
    EXPECT_FALSE(run(MemoryStreamName(*in), "-c copy -f nut", MemoryStreamName(*out)));
  }
}

// The memory stream's positions: past the end is allowed, a write fills the gap.
TEST(MemoryStreamTest, SeekReadWrite) {
  TMemoryStream s("abcdef");
  std::uint8_t buf[8] = {};
  EXPECT_EQ(s.Seek(-2, SEEK_END), 4);
  EXPECT_EQ(s.Read(buf, 8), 2);
  EXPECT_EQ(s.Read(buf, 8), 0);
  EXPECT_EQ(s.Seek(-1, SEEK_SET), -1);
  EXPECT_EQ(s.Seek(0, 7), -1);
  EXPECT_EQ(s.Seek(8, SEEK_SET), 8);
  EXPECT_EQ(s.Write(reinterpret_cast<const std::uint8_t*>("z"), 1), 1);
  EXPECT_EQ(s.Size(), 9);
  EXPECT_EQ(s.Data(), std::string("abcdef\0\0z", 9));

  std::stringstream ss("hello");
  TStdStream t(ss);
  EXPECT_EQ(t.Size(), 5);
  EXPECT_EQ(t.Seek(1, SEEK_SET), 1);
  EXPECT_EQ(t.Read(buf, 8), 4);
  EXPECT_EQ(t.Seek(0, SEEK_END), 5);
  EXPECT_EQ(t.Write(reinterpret_cast<const std::uint8_t*>("!"), 1), 1);
  EXPECT_EQ(ss.str(), "hello!");
}

}  // namespace
