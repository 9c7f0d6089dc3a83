// Whole tasks on generated media, run on the caller's thread; every output is
// read back through the libraries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "support/MediaReadBack.h"
#include "support/TranscoderRig.h"

using namespace corvane;
using testrig::readBack;

namespace {

constexpr const char* kVideo = "testsrc=size=160x120:rate=25:duration=2";
constexpr const char* kVideo2 = "testsrc2=size=160x120:rate=25:duration=2";
constexpr const char* kAudio = "sine=frequency=440:sample_rate=44100:duration=2";

struct Input {
  std::string options, file;
};

class TranscodeTest : public testrig::TranscoderTest {
 protected:
  // Opens the inputs and the output, runs the task to its end; the task.
  TCustomFFmpeg& run(const std::vector<Input>& inputs, const std::string& output_options,
                     const std::string& out) {
    TCustomFFmpeg& task = newTask();
    for (const Input& in : inputs) EXPECT_GE(openInput(in.options, in.file), 0) << task.FLastErrMsg;
    EXPECT_GE(openOutput(output_options, out), 0) << task.FLastErrMsg;
    task.StartConvert(false);
    return task;
  }

  // A stream-copy source: two seconds of mpeg4 video and mp2 audio in nut.
  std::string makeSource() {
    const std::string src = path("src.nut");
    TCustomFFmpeg& task =
        run({{"-f lavfi", kVideo}, {"-f lavfi", kAudio}}, "-c:v mpeg4 -c:a mp2", src);
    EXPECT_TRUE(task.Finished()) << task.FatalMessage();
    return src;
  }
};

struct Case {
  const char* name;
  std::vector<Input> inputs;
  const char* output_options;
  const char* file;
  // Expected: video packets (-1 unchecked), width, audio present, first stream type.
  int video_packets;
  int width;
  bool audio;
  AVMediaType first_type;
};

TEST_F(TranscodeTest, OutputsReadBackAsAsked) {
  const std::vector<Case> cases = {
      {"frames limit",
       {{"-f lavfi", kVideo}},
       "-frames:v 10 -c:v mpeg4",
       "frames.mkv",
       10,
       160,
       false,
       AVMEDIA_TYPE_VIDEO},
      {"duration -t",
       {{"-f lavfi", kVideo}},
       "-t 1 -c:v mpeg4",
       "t.nut",
       25,
       160,
       false,
       AVMEDIA_TYPE_VIDEO},
      {"end -to",
       {{"-f lavfi", kVideo}},
       "-to 0.4 -c:v mpeg4",
       "to.nut",
       10,
       160,
       false,
       AVMEDIA_TYPE_VIDEO},
      {"map on two inputs",
       {{"-f lavfi", kVideo}, {"-f lavfi", kAudio}},
       "-map 1:a -map 0:v -c:v mpeg4 -c:a mp2",
       "map.mkv",
       50,
       160,
       true,
       AVMEDIA_TYPE_AUDIO},
      {"simple graph",
       {{"-f lavfi", kVideo}},
       "-vf scale=80:60 -c:v mpeg4",
       "vf.nut",
       50,
       80,
       false,
       AVMEDIA_TYPE_VIDEO},
      {"complex graph",
       {{"-f lavfi", kVideo}, {"-f lavfi", kVideo2}},
       "-filter_complex [0:v][1:v]hstack[v] -map [v] -c:v mpeg4",
       "hstack.mkv",
       50,
       320,
       false,
       AVMEDIA_TYPE_VIDEO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TCustomFFmpeg& task = run(c.inputs, c.output_options, path(c.file));
    EXPECT_TRUE(task.Finished()) << task.FatalMessage();
    EXPECT_FALSE(task.FatalException()) << task.FatalMessage();
    EXPECT_TRUE(task.Terminated());
    const auto rb = readBack(path(c.file));
    ASSERT_TRUE(rb.opened);
    ASSERT_FALSE(rb.streams.empty());
    EXPECT_EQ(rb.streams[0].type, c.first_type);
    const auto* v = rb.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    if (c.video_packets >= 0) {
      EXPECT_EQ(v->packets, c.video_packets);
    }
    EXPECT_EQ(v->width, c.width);
    EXPECT_EQ(rb.first(AVMEDIA_TYPE_AUDIO) != nullptr, c.audio);
  }
}

TEST_F(TranscodeTest, StreamCopyKeepsEveryPacket) {
  const std::string src = makeSource();
  const auto in = readBack(src);
  ASSERT_EQ(in.streams.size(), 2u);
  const std::string out = path("copy.mkv");
  TCustomFFmpeg& task = run({{"", src}}, "-c copy", out);
  EXPECT_TRUE(task.Finished()) << task.FatalMessage();
  const auto rb = readBack(out);
  ASSERT_EQ(rb.streams.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(rb.streams[i].codec, in.streams[i].codec);
    EXPECT_EQ(rb.streams[i].packets, in.streams[i].packets);
    EXPECT_NEAR(rb.streams[i].span(), in.streams[i].span(), 0.05);
  }
}

TEST_F(TranscodeTest, FileSizeLimitHolds) {
  const std::string out = path("limited.nut");
  TCustomFFmpeg& task = run({{"-f lavfi", "testsrc=size=320x240:rate=25:duration=10"}},
                            "-c:v mpeg4 -q:v 2 -fs 30000", out);
  EXPECT_TRUE(task.Finished()) << task.FatalMessage();
  const auto size = std::filesystem::file_size(out);
  EXPECT_GT(size, 0u);
  // The check runs before each packet: one packet past the limit at most.
  EXPECT_LT(size, 30000u + 60000u);
  const auto rb = readBack(out);
  ASSERT_TRUE(rb.opened);
  EXPECT_LT(rb.streams[0].packets, 250);
}

// Failures found while setting the task up end it with the engine's message,
// the termination notification and no file left behind.
TEST_F(TranscodeTest, FailuresAreReportedNotFinished) {
  struct Fail {
    const char* name;
    const char* output_options;
    const char* text;  // logged
  };
  const std::vector<Fail> fails = {
      {"unknown filter", "-vf nosuchfilter=1 -c:v mpeg4", "nosuchfilter"},
      {"bad filter argument", "-vf scale=w=nonsense:h=-1 -c:v mpeg4", ""},
  };
  for (const Fail& f : fails) {
    SCOPED_TRACE(f.name);
    const std::string out = path("bad.mkv");
    TCustomFFmpeg& task = newTask();
    int terminations = 0;
    task.FOnTerminate = [&](TObject*) { ++terminations; };
    ASSERT_GE(openInput("-f lavfi", kVideo), 0) << task.FLastErrMsg;
    const int ret = openOutput(f.output_options, out);
    if (ret >= 0) {
      task.StartConvert(false);
      EXPECT_EQ(terminations, 1);
      EXPECT_FALSE(task.Finished());
      EXPECT_TRUE(task.FatalException());
      EXPECT_NE(task.FatalMessage(), "");
      EXPECT_TRUE(logged(f.text)) << task.FatalMessage();
    }
    EXPECT_FALSE(std::filesystem::exists(out) && std::filesystem::file_size(out) == 0)
        << "an empty output was left behind";
  }
}

// A small output to /dev/full fails only when its trailer flushes: the other
// output is still completed, the task ends failed.
TEST_F(TranscodeTest, TrailerFailureOnOneOfTwoOutputs) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=0.2"), 0);
  ASSERT_GE(openOutput("-y -f nut -c:v mpeg4", "/dev/full"), 0) << task.FLastErrMsg;
  ASSERT_GE(openOutput("-c:v mpeg4", path("good.nut")), 0) << task.FLastErrMsg;
  task.StartConvert(false);
  EXPECT_FALSE(task.Finished());
  EXPECT_EQ(task.FatalMessage(), "At least one output file failed to be written trailer");
  EXPECT_TRUE(logged("Error writing trailer of /dev/full: "));
  const auto rb = readBack(path("good.nut"));
  ASSERT_TRUE(rb.opened);
  EXPECT_EQ(rb.streams[0].packets, 5);
}

// A FIFO whose reader left before the output's buffered data was flushed:
// the data is lost when the trailer flushes it, and the task fails.
TEST_F(TranscodeTest, FifoWhoseReaderLeftFailsTheTask) {
  // The write to a FIFO without reader fails with EPIPE instead of a signal.
  struct IgnorePipe {
    void (*old)(int) = std::signal(SIGPIPE, SIG_IGN);
    ~IgnorePipe() { std::signal(SIGPIPE, old); }
  } ignore_pipe;
  const std::string out = path("gone.nut");
  ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
  // Opens once the writer did, then leaves at once.
  std::thread reader([out] {
    const int fd = ::open(out.c_str(), O_RDONLY);
    if (fd >= 0) ::close(fd);
  });
  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=0.4"), 0);
  const int opened = openOutput("-y -f nut -c:v mpeg4", out);
  if (opened >= 0) task.StartConvert(false);
  if (opened < 0) ::close(::open(out.c_str(), O_WRONLY | O_NONBLOCK));  // frees the reader
  reader.join();
  ASSERT_GE(opened, 0) << task.FLastErrMsg;
  EXPECT_FALSE(task.Finished());
  EXPECT_TRUE(task.FatalException());
  EXPECT_TRUE(logged("Error writing trailer of " + out + ": "));
  EXPECT_TRUE(std::filesystem::is_fifo(out));
}

TEST_F(TranscodeTest, StartWithoutOutputsFailsAtOnce) {
  TCustomFFmpeg& task = newTask();
  int terminations = 0;
  task.FOnTerminate = [&](TObject*) { ++terminations; };
  ASSERT_GE(openInput("-f lavfi", kVideo), 0);
  task.StartConvert(true);
  EXPECT_EQ(terminations, 1);
  EXPECT_TRUE(task.Terminated());
  EXPECT_FALSE(task.Converting());
  EXPECT_EQ(task.FatalMessage(), "At least one output file must be specified");
  task.StartConvert(true);  // a terminated engine does not start again
  EXPECT_EQ(terminations, 1);
}

}  // namespace
