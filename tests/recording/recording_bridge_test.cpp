#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "recording/RecordCaption.h"
#include "recording/RecordPacking.h"
#include "recording/RecordingBridge.h"
#include "recording/RecordingRig.h"
#include "support/Watchdog.h"

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {
namespace {

using recrig::BridgeRig;
using recrig::TestPicture;

// ---------------------------------------------------------------------------
// Records

TEST(RecordPacking, PlanesPackedWithoutPaddingExactly) {
  struct Case {
    int w, h, pad;
    std::int64_t s;
  };
  TRecordPacker packer;  // its buffer follows the size
  for (const Case& c : {Case{640, 360, 0, 345600}, Case{640, 360, 32, 345600},
                        Case{641, 361, 63, 641 * 361 + 2 * 321 * 181}, Case{1, 1, 5, 3},
                        Case{1920, 1080, 64, 3110400}}) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    ASSERT_EQ(RecordPlaneBytes(c.w, c.h), c.s);
    TestPicture pic(c.w, c.h, c.pad);
    std::vector<std::uint8_t> expected;
    const int cw = (c.w + 1) / 2, ch = (c.h + 1) / 2;
    const int rows[3] = {c.h, ch, ch}, bytes[3] = {c.w, cw, cw};
    for (int i = 0; i < 3; ++i)
      for (int y = 0; y < rows[i]; ++y)
        for (int x = 0; x < bytes[i]; ++x)
          expected.push_back(pic.p.data[i][y * pic.p.linesize[i] + x]);

    ASSERT_TRUE(packer.Pack(pic.p, AV_PIX_FMT_YUVJ420P, c.w, c.h, -1234567));
    ASSERT_EQ(packer.Size(), c.s + kRecordHeaderBytes);
    EXPECT_EQ(RecordPTS(packer.Data()), -1234567);
    EXPECT_EQ(RecordSize(packer.Data()), c.s);
    EXPECT_EQ(std::vector<std::uint8_t>(packer.Data() + kRecordHeaderBytes,
                                        packer.Data() + packer.Size()),
              expected);
  }
  EXPECT_EQ(RecordPlaneBytes(0, 10), -1);
  EXPECT_EQ(RecordPlaneBytes(65536, 65536), -1);
}

// ---------------------------------------------------------------------------
// Output names

TEST(RecordNames, FirstFreeNumber) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("corvane-recnames-" + std::to_string(::getpid()));
  struct Case {
    std::vector<std::string> existing;
    std::string source, expected;
  };
  const Case cases[] = {
      {{}, "clip.mkv", "clip_(new).mp4"},
      {{"clip_(new).mp4"}, "clip.mkv", "clip_(new_1).mp4"},
      {{"clip_(new).mp4", "clip_(new_1).mp4"}, "clip.mkv", "clip_(new_2).mp4"},
      {{"clip_(new).mp4", "clip_(new_2).mp4"}, "clip.mkv", "clip_(new_1).mp4"},
      {{"clip_(new_1).mp4"}, "clip.mkv", "clip_(new).mp4"},
      {{}, "a.b.c", "a.b_(new).mp4"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const auto& e : c.existing) std::ofstream((dir / e).string()) << "x";
    EXPECT_EQ(NewOutputFileName((dir / c.source).string(), ".mp4"), (dir / c.expected).string());
  }
  std::filesystem::remove_all(dir);
}

// The caption animates while armed and recording; the counter keeps its place.
TEST(RecordNames, ButtonCaption) {
  int counter = 0;
  const std::pair<TRecordState, const char*> ticks[] = {
      {rsIdle, "Record"},         {rsArmed, "Record.  "},     {rsRecording, "Record.. "},
      {rsRecording, "Record..."}, {rsRecording, "Record   "}, {rsIdle, "Record"},
      {rsRecording, "Record.  "}};
  for (const auto& [state, caption] : ticks)
    EXPECT_EQ(RecordButtonCaption(state, counter), caption);
}

// ---------------------------------------------------------------------------
// Read handlers

TEST(RecordingRead, ShortRingWaitsBadRecordEndsFirstPictureAtZero) {
  BridgeRig rig;
  rig.startRecording();  // one picture at 1 s is in the ring
  ASSERT_EQ(rig.bridge.Recording(), rsRecording);
  rig.hookPicture(640, 360, 1040000, 9);

  TInputFrameInfo info;
  info.BytesPerFrame = 345600;
  std::vector<std::uint8_t> data(345600);
  EXPECT_EQ(rig.bridge.ReadFrameYUV(data.data(), &info), 345600);
  EXPECT_EQ(info.TimeStamp, 0);
  EXPECT_EQ(rig.bridge.ReadFrameYUV(data.data(), &info), 345600);
  EXPECT_EQ(info.TimeStamp, 40000);
  EXPECT_EQ(data[0], TestPicture(640, 360, 0, 9).planes[0][0]);
  EXPECT_EQ(rig.bridge.ReadFrameYUV(data.data(), &info), AVERROR(EAGAIN));

  // A record whose size is not the input's ends the input.
  rig.hookPicture(640, 360, 1080000);
  info.BytesPerFrame = 1000;
  EXPECT_EQ(rig.bridge.ReadFrameYUV(data.data(), &info), -1);

  TInputWaveInfo wave;
  wave.FrameSize = 4096;
  wave.Channels = 2;
  wave.SampleFormat = 16;
  std::vector<std::uint8_t> samples(4096);
  EXPECT_EQ(rig.bridge.ReadWaveData(samples.data(), &wave), 4096);
  EXPECT_EQ(rig.bridge.ReadWaveData(samples.data(), &wave), AVERROR(EAGAIN));
}

// The sound starts with the first picture: earlier samples are cut, a later
// start is preceded by silence, whether the sound came before the picture or after.
TEST(RecordingRead, SoundAlignedToTheFirstPicture) {
  struct Case {
    std::int64_t audioEnd;  // of a 1024-frame block at 48 kHz (21333 us)
    int frames;             // in the ring: cut or padded
    bool leadingSilence;
  };
  for (const Case& c : {Case{1010667, 512, false}, Case{1021333, 1024, false},
                        Case{1031333, 1024 + 480, true}, Case{999000, 0, false}}) {
    for (bool soundFirst : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.audioEnd << (soundFirst ? " sound first" : ""));
      BridgeRig rig;
      rig.bridge.StartRecording();
      rig.bridge.OnFileOpen();
      if (soundFirst) rig.hookAudio(c.audioEnd, 1024);
      rig.hookPicture(640, 360, 1000000);
      if (!soundFirst) rig.hookAudio(c.audioEnd, 1024);
      const std::vector<std::int16_t> s = rig.sound();
      ASSERT_EQ(s.size(), static_cast<std::size_t>(c.frames) * 2);
      if (c.frames == 0) continue;
      EXPECT_EQ(s[0], c.leadingSilence ? 0 : 1000);
      EXPECT_EQ(s[c.frames * 2 - 1], 1000);
    }
  }
}

// After a seek the sound keeps to the file's timeline, as the pictures do: a
// jump forward leaves silence, a jump back drops blocks until the sound
// passes where it was; small wobbles change nothing.
TEST(RecordingRead, SoundFollowsSeeks) {
  BridgeRig rig;
  rig.startRecording();                                  // 1024 frames from 1 s
  rig.hookAudio(1042667 + 10000, 1024, 48000, 2, 2000);  // 10 ms late: a wobble
  rig.hookAudio(2064000, 1024, 48000, 2, 3000);          // 1 s after the sound so far
  rig.hookAudio(1500000, 1024, 48000, 2, 4000);          // back: dropped
  rig.hookAudio(2085333, 1024, 48000, 2, 5000);          // on time again
  EXPECT_EQ(rig.bridge.Drops().SkippedAudio, 1);
  EXPECT_EQ(rig.bridge.Drops().Audio, 0);

  const std::vector<std::int16_t> s = rig.sound();
  const auto frame = [&](int k) { return s[static_cast<std::size_t>(k) * 2]; };
  ASSERT_EQ(s.size(), (2048u + 48000 + 2048) * 2);
  EXPECT_EQ(frame(0), 1000);
  EXPECT_EQ(frame(1024), 2000);
  EXPECT_EQ(frame(2048), 0);
  EXPECT_EQ(frame(2048 + 48000 - 1), 0);
  EXPECT_EQ(frame(2048 + 48000), 3000);
  EXPECT_EQ(frame(2048 + 48000 + 1024), 5000);
}

// ---------------------------------------------------------------------------
// States

TEST(RecordingStates, ArmedBeforeOpenStartsWithTheFirstHookCalls) {
  BridgeRig rig;
  rig.player.video = rig.player.audio = false;
  rig.bridge.StartRecording();
  EXPECT_EQ(rig.bridge.Recording(), rsArmed);
  EXPECT_TRUE(rig.player.hooks);
  rig.hookPicture(642, 362, 1000000, 5);  // decoded before the open is reported
  rig.posts.run();
  EXPECT_EQ(rig.bridge.Recording(), rsArmed);
  EXPECT_TRUE(rig.encoder.calls.empty());

  rig.player.video = rig.player.audio = true;
  rig.bridge.OnFileOpen();
  rig.posts.run();
  EXPECT_EQ(rig.bridge.Recording(), rsArmed) << "the sound has not declared itself yet";
  rig.hookAudio(1000000, 1024, 44100, 1);
  rig.posts.run();
  ASSERT_EQ(rig.bridge.Recording(), rsRecording);
  TInputFrameInfo info;
  info.BytesPerFrame = static_cast<std::int32_t>(RecordPlaneBytes(642, 362));
  std::vector<std::uint8_t> data(info.BytesPerFrame);
  ASSERT_EQ(rig.bridge.ReadFrameYUV(data.data(), &info), info.BytesPerFrame);
  EXPECT_EQ(info.TimeStamp, 0);
  EXPECT_EQ(data[0], TestPicture(642, 362, 0, 5).planes[0][0]);
  const std::string v = rig.bridge.FrameAdapter()->RegistryUrl();
  const std::string a = rig.bridge.WaveAdapter()->RegistryUrl();
  const std::vector<std::string> expected = {
      "ClearTasks", "AddTask " + v + " -f frameinput -input_type yuv -pix_fmt yuv420p -s 642x362",
      "AddInput 0 " + a + " -f waveinput -ac 1 -ar 44100 -sample_fmt s16",
      "SetOutput 0 /nonexistent-dir/clip_(new).mp4 -vsync vfr -enc_time_base:v -1", "Start"};
  EXPECT_EQ(rig.encoder.calls, expected);
}

TEST(RecordingStates, AudioOnlyFileBuildsOnlyTheWaveInput) {
  BridgeRig rig;
  rig.player.video = false;
  rig.bridge.SetOutputOptions("-preset veryfast");
  rig.bridge.StartRecording();
  rig.hookPicture(640, 360, 0);  // not played: ignored
  rig.hookAudio(1000000, 1024);
  rig.posts.run();
  ASSERT_EQ(rig.bridge.Recording(), rsRecording);
  const std::vector<std::string> expected = {
      "ClearTasks",
      "AddTask " + rig.bridge.WaveAdapter()->RegistryUrl() +
          " -f waveinput -ac 2 -ar 48000 -sample_fmt s16",
      "SetOutput 0 /nonexistent-dir/clip_(new).mp4 -vsync vfr -enc_time_base:v -1 -preset veryfast",
      "Start"};
  EXPECT_EQ(rig.encoder.calls, expected);
}

// A stream the file has but whose hook stays silent is left out after a while.
TEST(RecordingStates, SilentStreamLeftOut) {
  BridgeRig silentSound;
  silentSound.bridge.StartRecording();
  for (int i = 0; i <= 15; ++i) silentSound.hookPicture(320, 240, i * 40000);
  silentSound.posts.run();
  ASSERT_EQ(silentSound.bridge.Recording(), rsRecording);
  EXPECT_TRUE(
      silentSound.encoder.called("AddTask " + silentSound.bridge.FrameAdapter()->RegistryUrl()));
  EXPECT_FALSE(silentSound.encoder.called("AddInput"));

  BridgeRig silentPictures;
  silentPictures.bridge.StartRecording();
  for (int i = 1; i <= 30; ++i) silentPictures.hookAudio(i * 21333, 1024);
  silentPictures.posts.run();
  ASSERT_EQ(silentPictures.bridge.Recording(), rsRecording);
  EXPECT_TRUE(silentPictures.encoder.called("AddTask " +
                                            silentPictures.bridge.WaveAdapter()->RegistryUrl()));
  EXPECT_FALSE(silentPictures.encoder.called("AddInput"));
  silentPictures.hookAudio(31 * 21333, 1024);
  TInputWaveInfo wave;
  wave.FrameSize = 4096;
  wave.Channels = 2;
  wave.SampleFormat = 16;
  std::vector<std::uint8_t> samples(4096);
  EXPECT_EQ(silentPictures.bridge.ReadWaveData(samples.data(), &wave), 4096)
      << "the sound is written once the pictures are left out";
}

TEST(RecordingStates, FailedStartStaysArmedAndRetriesWithTheNextFile) {
  for (const char* step : {"AddTask", "AddInput", "SetOutput", "Start"}) {
    SCOPED_TRACE(step);
    BridgeRig rig;
    rig.encoder.failAt = step;
    rig.startRecording();
    EXPECT_EQ(rig.bridge.Recording(), rsArmed);
    EXPECT_FALSE(rig.player.hooks);
    ASSERT_EQ(rig.messages, std::vector<std::string>{"***Failed to record: disk on fire"});
    EXPECT_EQ(rig.encoder.called("RemoveTask"), std::string(step) != "AddTask");

    rig.encoder.failAt.clear();
    rig.startRecording();
    EXPECT_EQ(rig.bridge.Recording(), rsRecording);
  }
}

// A size change the hooks posted before a start that fails belongs to the
// failed start: the bridge stays armed with one message.
TEST(RecordingStates, FailedStartIgnoresWhatItsHooksPosted) {
  BridgeRig rig;
  rig.encoder.failAt = "Start";
  rig.bridge.StartRecording();
  rig.bridge.OnFileOpen();
  rig.hookPicture(640, 360, 1000000);
  rig.hookAudio(1021333, 1024);        // ready
  rig.hookPicture(320, 240, 1040000);  // a change
  rig.posts.run();
  EXPECT_EQ(rig.bridge.Recording(), rsArmed);
  EXPECT_EQ(rig.messages, std::vector<std::string>{"***Failed to record: disk on fire"});
}

TEST(RecordingStates, PlaybackStopDisarmsAndStops) {
  BridgeRig armed;
  armed.player.video = armed.player.audio = false;
  armed.bridge.StartRecording();
  armed.bridge.OnPlayStateStop();
  EXPECT_EQ(armed.bridge.Recording(), rsIdle);
  EXPECT_TRUE(armed.messages.empty()) << "no file played";

  BridgeRig neverStarted;  // a file played, its hooks never delivered
  neverStarted.bridge.StartRecording();
  neverStarted.bridge.OnFileOpen();
  neverStarted.bridge.OnPlayStateStop();
  EXPECT_EQ(neverStarted.bridge.Recording(), rsIdle);
  EXPECT_EQ(neverStarted.messages,
            std::vector<std::string>{"***Failed to record: nothing was recorded"});

  BridgeRig cancelled;  // Record pressed again before anything came: no failure
  cancelled.bridge.StartRecording();
  cancelled.bridge.OnFileOpen();
  cancelled.bridge.StopRecording();
  EXPECT_EQ(cancelled.bridge.Recording(), rsIdle);
  EXPECT_TRUE(cancelled.messages.empty());

  BridgeRig failed;  // a start that failed has said why already
  failed.encoder.failAt = "Start";
  failed.startRecording();
  failed.bridge.OnPlayStateStop();
  EXPECT_EQ(failed.bridge.Recording(), rsIdle);
  EXPECT_EQ(failed.messages.size(), 1u);

  BridgeRig replaced;  // the same, but the file stops for the next one
  replaced.bridge.StartRecording();
  replaced.bridge.OnFileOpen();
  replaced.bridge.OnFileReplaced();
  EXPECT_EQ(replaced.bridge.Recording(), rsArmed);
  EXPECT_TRUE(replaced.messages.empty());

  BridgeRig recording;
  recording.startRecording();
  recording.pictures(640, 360);  // the task took everything
  recording.sound();
  recording.bridge.OnPlayStateStop();
  EXPECT_EQ(recording.bridge.Recording(), rsIdle);
  EXPECT_FALSE(recording.player.hooks);
  EXPECT_EQ(recording.encoder.calls.back(), "ClearTasks");
  EXPECT_TRUE(recording.encoder.called("Stop"));
  recording.posts.run();  // the stopped task's report
  EXPECT_TRUE(recording.messages.empty());
  recording.bridge.OnFileOpen();
  EXPECT_FALSE(recording.player.hooks) << "idle stays idle";
}

// A task that ends by itself, a picture size or sound format that changes:
// the recording stops with a message; the player is only unhooked.
TEST(RecordingStates, RecordingEndsWithAMessage) {
  struct Case {
    const char* name;
    std::function<void(BridgeRig&)> cause;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"task ended",
       [](BridgeRig& r) { r.encoder.endWith("No space left on device"); },
       {"***Failed to record: No space left on device"}},
      {"picture size",
       [](BridgeRig& r) { r.hookPicture(320, 240, 2000000); },
       {"***Failed to record: the picture size changed from 640x360 to 320x240"}},
      {"picture size, then the task fails at its stop",
       [](BridgeRig& r) {
         r.encoder.stopError = "No space left on device";
         r.hookPicture(320, 240, 2000000);
       },
       {"***Failed to record: No space left on device",
        "***Failed to record: the picture size changed from 640x360 to 320x240"}},
      {"sound format",
       [](BridgeRig& r) { r.hookAudio(2000000, 1024, 44100, 2); },
       {"***Failed to record: the sound changed from 48000 Hz, 2 channels to 44100 Hz, 2 "
        "channels"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeRig rig;
    rig.startRecording();
    ASSERT_EQ(rig.bridge.Recording(), rsRecording);
    rig.pictures(640, 360);  // the task took everything
    rig.sound();
    c.cause(rig);
    rig.posts.run();
    EXPECT_EQ(rig.bridge.Recording(), rsIdle);
    EXPECT_FALSE(rig.player.hooks);
    EXPECT_EQ(rig.messages, c.messages);
  }
}

// A picture without a timestamp (the cover of a sound file) is not recorded
// and declares nothing: the sound is recorded alone.
TEST(RecordingStates, PictureWithoutTimestampLeavesVideoOut) {
  BridgeRig rig;
  rig.bridge.StartRecording();
  rig.bridge.OnFileOpen();
  rig.hookPicture(600, 600, AV_NOPTS_VALUE);
  for (int i = 1; i <= 30; ++i) rig.hookAudio(i * 21333, 1024);
  rig.posts.run();
  ASSERT_EQ(rig.bridge.Recording(), rsRecording);
  EXPECT_FALSE(rig.encoder.called("AddTask " + rig.bridge.FrameAdapter()->RegistryUrl()));
  EXPECT_TRUE(rig.encoder.called("AddTask " + rig.bridge.WaveAdapter()->RegistryUrl()));
  rig.hookAudio(31 * 21333, 1024);
  const std::vector<std::int16_t> s = rig.sound();
  ASSERT_EQ(s.size(), 31u * 1024 * 2) << "the sound is whole from its first block";
  EXPECT_EQ(s.front(), 1000);
  EXPECT_EQ(s.back(), 1000);
  EXPECT_EQ(rig.bridge.Drops().SkippedVideo, 1);
}

// A picture size that changes before the task is built starts the capture
// again with the new size; no message.
TEST(RecordingStates, SizeChangeBeforeTheTaskDeclaresAgain) {
  BridgeRig rig;
  rig.bridge.StartRecording();
  rig.bridge.OnFileOpen();
  rig.hookPicture(640, 360, 1000000);
  rig.hookPicture(320, 240, 1040000);
  rig.hookAudio(1061333, 1024);
  rig.posts.run();
  ASSERT_EQ(rig.bridge.Recording(), rsRecording);
  EXPECT_TRUE(rig.messages.empty());
  EXPECT_TRUE(rig.encoder.called("AddTask " + rig.bridge.FrameAdapter()->RegistryUrl() +
                                 " -f frameinput -input_type yuv -pix_fmt yuv420p -s 320x240"));
  EXPECT_EQ(rig.pictures(320, 240), std::vector<std::int64_t>{0});
  EXPECT_EQ(rig.sound().size(), 1024u * 2) << "the sound starts with the new first picture";
  EXPECT_EQ(rig.bridge.Drops().Video, 1);
}

// Full range pictures keep their label; pictures with an alpha plane the
// player leaves empty are packed without it; pictures that cannot be packed
// are told about once.
TEST(RecordingStates, PictureFormats) {
  BridgeRig full;
  full.bridge.StartRecording();
  full.bridge.OnFileOpen();
  full.hookPicture(64, 48, 1000000, 0, AV_PIX_FMT_YUVJ420P);
  full.hookAudio(1021333, 1024);
  full.posts.run();
  EXPECT_TRUE(full.encoder.called("AddTask " + full.bridge.FrameAdapter()->RegistryUrl() +
                                  " -f frameinput -input_type yuv -pix_fmt yuvj420p -s 64x48"));

  TestPicture pic(33, 17, 3, 7);
  TRecordPacker alpha, plain;
  ASSERT_TRUE(alpha.Pack(pic.p, AV_PIX_FMT_YUVA420P, 33, 17, 5));
  ASSERT_TRUE(plain.Pack(pic.p, AV_PIX_FMT_YUV420P, 33, 17, 5));
  EXPECT_EQ(std::vector<std::uint8_t>(alpha.Data(), alpha.Data() + alpha.Size()),
            std::vector<std::uint8_t>(plain.Data(), plain.Data() + plain.Size()));

  BridgeRig refused;
  std::vector<std::string> notices;
  refused.bridge.SetOnNotice([&](const std::string& text) { notices.push_back(text); });
  refused.startRecording();
  refused.hookPicture(640, 360, 1040000, 0, AV_PIX_FMT_VAAPI);
  refused.hookPicture(640, 360, 1080000, 0, AV_PIX_FMT_VAAPI);
  refused.posts.run();
  EXPECT_TRUE(refused.messages.empty()) << "a notice, not a failure";
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].rfind("***Failed to record: pictures in the ", 0), 0u);
  EXPECT_EQ(refused.bridge.Drops().Video, 2);
  EXPECT_EQ(refused.bridge.Recording(), rsRecording) << "the sound goes on";
}

// Silence owed for a jump longer than the sound ring holds is counted, not
// written: nothing is dropped and the sound after it arrives.
TEST(RecordingRead, SilenceLongerThanTheRing) {
  BridgeRig rig;
  rig.startRecording();  // 1024 frames from 1 s
  rig.hookAudio(31042666, 1024, 48000, 2, 2000);
  EXPECT_EQ(rig.bridge.Drops().Audio, 0);
  const std::vector<std::int16_t> s = rig.sound();
  ASSERT_EQ(s.size(), (1024u + 30 * 48000 + 1024) * 2);
  EXPECT_EQ(s[1024 * 2], 0);
  EXPECT_EQ(s.back(), 2000);

  // Two minutes forward, then a block on time: it follows the whole gap.
  BridgeRig far;
  far.startRecording();
  far.hookAudio(121042666, 1024, 48000, 2, 2000);
  far.hookAudio(121064000, 1024, 48000, 2, 3000);
  const std::vector<std::int16_t> f = far.sound();
  const std::size_t jumped = (1024u + 120 * 48000) * 2;
  ASSERT_EQ(f.size(), jumped + 2048 * 2);
  EXPECT_EQ(f[jumped - 1], 0);
  EXPECT_EQ(f[jumped], 2000);
  EXPECT_EQ(f[jumped + 1024 * 2], 3000);
}

// At another speed the sound's timestamps do not follow the file: no silence
// is put in and nothing is skipped.
TEST(RecordingRead, NoGapCorrectionAtOtherSpeeds) {
  BridgeRig rig;
  rig.player.speed = 2.0;
  rig.startRecording();
  rig.hookAudio(2500000, 1024, 48000, 2, 2000);
  rig.hookAudio(1200000, 1024, 48000, 2, 3000);
  const std::vector<std::int16_t> s = rig.sound();
  ASSERT_EQ(s.size(), 3u * 1024 * 2);
  EXPECT_EQ(s[1024 * 2], 2000);
  EXPECT_EQ(s[2048 * 2], 3000);
}

// Errors of the task while it stops, and a wait that runs out before the
// task took what the rings hold, are reported, not passed over.
TEST(RecordingStates, ErrorsAtStopReported) {
  struct Case {
    const char* name;
    std::string stopError;
    bool drained;
    std::string error;  // prefix
  };
  const Case cases[] = {
      {"clean", "", true, ""},
      {"disk full at the end", "No space left on device", true, "No space left on device"},
      {"cut short", "", false, "the encoder did not finish in time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeRig rig;
    rig.encoder.stopError = c.stopError;
    rig.startRecording();
    if (c.drained) {
      rig.pictures(640, 360);
      rig.sound();
    }
    rig.bridge.StopRecording();
    rig.posts.run();
    EXPECT_EQ(rig.bridge.Recording(), rsIdle);
    EXPECT_EQ(rig.bridge.LastRecordError().rfind(c.error, 0), 0u) << rig.bridge.LastRecordError();
    EXPECT_EQ(rig.bridge.LastRecordError().empty(), c.error.empty());
    if (c.error.empty()) {
      EXPECT_TRUE(rig.messages.empty());
    } else {
      ASSERT_EQ(rig.messages.size(), 1u);
      EXPECT_EQ(rig.messages[0], "***Failed to record: " + rig.bridge.LastRecordError());
    }
  }
}

// Calls that arrive while the bridge pumps (a click while the encoder
// starts, one from the message box) are carried out once it returns.
TEST(RecordingStates, CallsWhilePumpingCarriedOut) {
  BridgeRig clicked;
  clicked.encoder.duringStart = [&] { clicked.bridge.StopRecording(); };
  clicked.startRecording();
  EXPECT_EQ(clicked.bridge.Recording(), rsIdle);
  EXPECT_FALSE(clicked.player.hooks);

  BridgeRig opened;
  opened.encoder.failAt = "Start";
  opened.encoder.duringStart = [&] { opened.bridge.OnFileOpen(); };
  opened.startRecording();
  EXPECT_EQ(opened.bridge.Recording(), rsArmed);
  EXPECT_TRUE(opened.player.hooks) << "the open that came during the start armed the hooks again";

  BridgeRig boxed;
  boxed.encoder.failAt = "Start";
  boxed.inBox = [&] { boxed.bridge.StopRecording(); };
  boxed.startRecording();
  EXPECT_EQ(boxed.messages.size(), 1u);
  EXPECT_EQ(boxed.bridge.Recording(), rsIdle) << "Record pressed while the message showed";

  BridgeRig ordered;  // a Stop clicked while the start pumped, Record while its message showed
  ordered.encoder.failAt = "Start";
  ordered.encoder.duringStart = [&] { ordered.bridge.StopRecording(); };
  bool pressed = false;
  ordered.inBox = [&] {
    if (!std::exchange(pressed, true)) ordered.bridge.StartRecording();
  };
  ordered.startRecording();
  EXPECT_EQ(ordered.bridge.Recording(), rsArmed) << "the Stop first, then Record";
  EXPECT_TRUE(ordered.player.hooks);
}

// Without a dispatcher posted reports would run on the hooks' threads: the
// recording refuses to start.
TEST(RecordingStates, NoDispatcherRefusesToStart) {
  recrig::FakePlayer player;
  recrig::FakeEncoder encoder;
  std::vector<std::string> messages;
  TRecordingBridge bridge(player, encoder,
                          [&](const std::string& text) { messages.push_back(text); });
  bridge.StartRecording();
  EXPECT_EQ(bridge.Recording(), rsIdle);
  EXPECT_FALSE(player.hooks);
  EXPECT_EQ(messages, std::vector<std::string>{
                          "***Failed to record: no main-thread dispatcher is installed"});
}

// Pictures whose timestamp does not advance, records that do not fit and
// records the task did not take before it stopped are dropped and counted;
// the hooks never wait.
TEST(RecordingDrops, OutOfOrderAndFullRingCounted) {
  BridgeRig rig;
  rig.startRecording();
  rig.hookPicture(640, 360, 1000000);  // the same time again
  rig.hookPicture(640, 360, 900000);   // a seek back
  rig.hookPicture(640, 360, 1040000);
  EXPECT_EQ(rig.bridge.Drops().SkippedVideo, 2);
  EXPECT_EQ(rig.bridge.Drops().Video, 0);
  rig.hookAudio(1042666, 1024);
  rig.bridge.StopRecording();
  // Two pictures and two sound blocks were never taken by the task.
  EXPECT_EQ(rig.bridge.Drops().Video, 2) << "the counts outlive the recording";
  EXPECT_EQ(rig.bridge.Drops().Audio, 2);
  EXPECT_EQ(rig.bridge.Drops().SkippedVideo, 2);

  BridgeRig big;
  big.player.audio = false;
  big.bridge.StartRecording();
  constexpr int kPictures = 40;  // more than the ring holds at 1080p
  TestPicture pic(1920, 1080);
  testrig::withinDeadline(std::chrono::seconds(60), "hooks into a full ring", [&] {
    for (int i = 0; i < kPictures; ++i)
      big.bridge.FrameHook(pic.p, AV_PIX_FMT_YUV420P, 1920, 1080, i * 40000);
  });
  big.posts.run();
  TInputFrameInfo info;
  info.BytesPerFrame = static_cast<std::int32_t>(RecordPlaneBytes(1920, 1080));
  std::vector<std::uint8_t> data(info.BytesPerFrame);
  int read = 0;
  while (big.bridge.ReadFrameYUV(data.data(), &info) > 0) ++read;
  EXPECT_GT(big.bridge.Drops().Video, 0);
  EXPECT_EQ(read + big.bridge.Drops().Video, kPictures);
}

}  // namespace
}  // namespace corvane
