// The window's Record button: the caption animation, arming before a file is
// open, the recording ended by closing the window (offscreen, sound only)
// and by Stop (under Xvfb, a clip with pictures and sound); the MP4 written
// next to the clip is read back.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "MainForm.h"
#include "QtDispatcher.h"
#include "QtWait.h"
#include "foundation/MainThread.h"
#include "recording/RecordingReadBack.h"
#include "support/EnvVar.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace corvane::app;
namespace media = corvane::testmedia;

namespace {

const std::vector<QString> kFrames{"Record   ", "Record.  ", "Record.. ", "Record..."};

int frameIndex(const QString& caption) {
  for (std::size_t i = 0; i < kFrames.size(); ++i)
    if (kFrames[i] == caption) return static_cast<int>(i);
  return -1;
}

class RecordFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setDispatcher(dispatcher_);
    form_ = std::make_unique<TfrmCorvane>();
    form_->SetFileChooser([this](QWidget*, const QString&) { return nextFile_; });
    form_->SetNotifier([this](QWidget*, const QString& title, const QString& text) {
      messages_.push_back(title.toStdString() + ": " + text.toStdString());
    });
    form_->Player().SetAudioDriver("dummy");
    ASSERT_TRUE(dir_.isValid());
  }
  void TearDown() override {
    form_.reset();
    setDispatcher(nullptr);
  }

  QPushButton& record() { return *form_->findChild<QPushButton*>("btnRecord"); }
  // Record, then Open of a WAV clip with output options the encoder refuses:
  // the start fails with a message and the bridge stays armed.
  void openWithFailedStart() {
    form_->Player().SetDisableDisplay(true);
    nextFile_ = QString::fromStdString(clipCopy(media::Kind::Wav));
    form_->Recorder().SetOutputOptions("-no_such_option 1");
    form_->show();
    record().click();
    form_->btnOpenClick();
    ASSERT_TRUE(waitUntil([&] { return !messages_.empty(); }));
    ASSERT_EQ(form_->Recorder().Recording(), rsArmed);
  }
  QTimer& timer() { return *form_->findChild<QTimer*>("Timer1"); }
  // A copy of a generated clip in the test's own directory, where the
  // recording is written.
  std::string clipCopy(media::Kind kind) {
    const std::filesystem::path from = media::ensure(kind);
    const std::filesystem::path to =
        std::filesystem::path(dir_.path().toStdString()) / from.filename();
    std::filesystem::copy_file(from, to);
    return to.string();
  }
  static std::string newName(const std::string& clip) {
    return std::filesystem::path(clip).replace_extension().string() + "_(new).mp4";
  }

  std::shared_ptr<QtDispatcher> dispatcher_ = std::make_shared<QtDispatcher>();
  std::unique_ptr<TfrmCorvane> form_;
  QTemporaryDir dir_;
  QString nextFile_;
  std::vector<std::string> messages_;
};

}  // namespace

// Record with no file armed: the timer animates the caption; a second press
// disarms and shows "Record"; the cycle goes on where it stopped.
TEST_F(RecordFormTest, RecordBeforeAnyOpenArmsAndAnimates) {
  form_->show();
  EXPECT_TRUE(record().isEnabled());
  EXPECT_EQ(timer().interval(), 500);
  ASSERT_TRUE(timer().isActive());

  record().click();
  EXPECT_EQ(form_->Recorder().Recording(), rsArmed);
  ASSERT_TRUE(waitUntil([&] { return frameIndex(record().text()) >= 0; }, 3000))
      << record().text().toStdString();

  timer().stop();
  form_->Timer1Timer();
  const int last = frameIndex(record().text());
  ASSERT_GE(last, 0);
  record().click();
  EXPECT_EQ(form_->Recorder().Recording(), rsIdle);
  form_->Timer1Timer();
  EXPECT_EQ(record().text(), "Record");

  record().click();
  for (int k = 1; k <= 5; ++k) {
    form_->Timer1Timer();
    EXPECT_EQ(frameIndex(record().text()), (last + k) % 4) << k;
  }
  EXPECT_TRUE(messages_.empty());
}

// Armed before the open, the recording starts with the file; closing the
// window ends it and leaves a finished MP4 with the file's sound.
TEST_F(RecordFormTest, ArmedRecordingStartsWithTheFileAndEndsWithTheWindow) {
  form_->Player().SetDisableDisplay(true);
  const std::string clip = clipCopy(media::Kind::Wav);
  nextFile_ = QString::fromStdString(clip);
  form_->show();
  record().click();
  form_->btnOpenClick();
  ASSERT_TRUE(waitUntil([&] { return form_->Recorder().Recording() == rsRecording; }))
      << (messages_.empty() ? "" : messages_.front());
  ASSERT_TRUE(waitUntil([&] { return form_->Player().CurrentPTS() > 500000; }));

  form_->close();
  EXPECT_EQ(form_->Recorder().Recording(), rsIdle);
  EXPECT_FALSE(form_->Player().OnFrameHook);
  EXPECT_FALSE(form_->Player().OnAudioHook);
  EXPECT_EQ(record().text(), "Record");
  EXPECT_TRUE(messages_.empty()) << messages_.front();

  EXPECT_EQ(form_->Recorder().OutputFileName(), newName(clip));
  recrig::Decoded d;
  ASSERT_TRUE(recrig::decode(newName(clip), d));
  EXPECT_TRUE(d.pictureUs.empty());
  EXPECT_GT(d.sound.size(), 0u);
}

// A recording that cannot start shows the bridge's message in a box titled
// "Error", stays armed and leaves playback running; the next file opened
// (the first one stopping for it) is recorded. Stop disarms.
TEST_F(RecordFormTest, FailedStartStaysArmedForTheNextFile) {
  ASSERT_NO_FATAL_FAILURE(openWithFailedStart());
  EXPECT_EQ(messages_.front().rfind("Error: ***Failed to record: ", 0), 0u) << messages_.front();
  EXPECT_TRUE(waitUntil([&] { return form_->Player().CurrentPTS() > 300000; }));
  EXPECT_EQ(form_->Player().PlayState(), psPlay);

  messages_.clear();
  form_->Recorder().SetOutputOptions("");
  form_->btnOpenClick();
  ASSERT_TRUE(waitUntil([&] { return form_->Recorder().Recording() == rsRecording; }))
      << (messages_.empty() ? "" : messages_.front());
  // Some sound is played into the recording before it stops.
  const std::int64_t started = form_->Player().CurrentPTS();
  EXPECT_TRUE(waitUntil([&] { return form_->Player().CurrentPTS() > started + 300000; }));
  form_->findChild<QPushButton*>("btnStop")->click();
  ASSERT_TRUE(waitUntil([&] { return form_->Recorder().Recording() == rsIdle; }));
  EXPECT_TRUE(messages_.empty()) << messages_.front();
  recrig::Decoded d;
  ASSERT_TRUE(recrig::decode(form_->Recorder().OutputFileName(), d));
  EXPECT_GT(d.sound.size(), 0u);
}

// An open that fails before it stopped the file playing leaves no stop to
// come of a replaced file: the user's Stop then disarms.
TEST_F(RecordFormTest, FailedOpenLeavesTheNextStopTheUsers) {
  ASSERT_NO_FATAL_FAILURE(openWithFailedStart());
  ASSERT_TRUE(waitUntil([&] { return form_->Player().PlayState() == psPlay; }));

  form_->Player().SetDisableAudio(true);  // refused before the open stops anything
  form_->btnOpenClick();
  EXPECT_EQ(form_->Player().PlayState(), psPlay);
  form_->Player().SetDisableAudio(false);
  form_->findChild<QPushButton*>("btnStop")->click();
  EXPECT_TRUE(waitUntil([&] { return form_->Recorder().Recording() == rsIdle; }))
      << "the user's Stop was taken for a replaced file's";
}

// A recording ends when its file has played to the end; what it wrote and
// dropped shows as it stops.
TEST_F(RecordFormTest, RecordingEndsWithTheFile) {
  form_->Player().SetDisableDisplay(true);
  const std::string clip = clipCopy(media::Kind::Wav);
  form_->show();
  record().click();
  ASSERT_TRUE(form_->OpenFile(QString::fromStdString(clip))) << form_->Player().LastErrMsg();
  ASSERT_TRUE(waitUntil([&] { return form_->Recorder().Recording() == rsRecording; }))
      << (messages_.empty() ? "" : messages_.front());
  ASSERT_TRUE(waitUntil([&] { return form_->Recorder().Recording() == rsIdle; }, 30000));
  EXPECT_TRUE(messages_.empty()) << messages_.front();
  EXPECT_TRUE(record().toolTip().startsWith(
      QString::fromStdString("Recorded " + newName(clip) + ": 0 pictures and 0 audio blocks")))
      << record().toolTip().toStdString();
  recrig::Decoded d;
  ASSERT_TRUE(recrig::decode(newName(clip), d));
  EXPECT_GT(d.sound.size(), 0u);
}

namespace {

// Under Xvfb the player draws into the panel (SDL's software renderer, see
// the surface tests).
class XcbRecordForm : public RecordFormTest {
 protected:
  EnvVar FRenderDriver{"SDL_RENDER_DRIVER", "software"};
  EnvVar FNoGL{"SDL_FRAMEBUFFER_ACCELERATION", "0"};

  void SetUp() override {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs the xcb platform";
    RecordFormTest::SetUp();
  }
};

}  // namespace

// The window plays a clip, Record is pressed, Stop ends playback and the
// recording: the MP4 beside the clip has pictures and sound.
TEST_F(XcbRecordForm, RecordWhilePlayingThenStop) {
  const std::string clip = clipCopy(media::Kind::Mp4H264Aac);
  form_->show();
  ASSERT_TRUE(form_->OpenFile(QString::fromStdString(clip))) << form_->Player().LastErrMsg();
  ASSERT_TRUE(waitUntil([&] { return form_->Player().CurrentPTS() > 200000; }));

  record().click();
  ASSERT_TRUE(waitUntil([&] { return form_->Recorder().Recording() == rsRecording; }))
      << (messages_.empty() ? "" : messages_.front());
  ASSERT_TRUE(waitUntil([&] { return form_->Player().CurrentPTS() > 1500000; }));
  form_->findChild<QPushButton*>("btnStop")->click();
  ASSERT_TRUE(waitUntil([&] { return form_->Recorder().Recording() == rsIdle; }));
  EXPECT_TRUE(messages_.empty()) << messages_.front();

  EXPECT_EQ(form_->Recorder().OutputFileName(), newName(clip));
  // The stop shows what was written and dropped.
  EXPECT_TRUE(
      record().toolTip().startsWith(QString::fromStdString("Recorded " + newName(clip) + ": ")))
      << record().toolTip().toStdString();
  recrig::Decoded d;
  ASSERT_TRUE(recrig::decode(newName(clip), d));
  EXPECT_GT(d.sound.size(), 0u);
  ASSERT_GT(d.pictureUs.size(), 10u);
  EXPECT_EQ(d.pictureUs.front(), 0);
}
