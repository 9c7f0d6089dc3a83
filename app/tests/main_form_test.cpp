#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QUrl>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MainForm.h"
#include "QtDispatcher.h"
#include "QtWait.h"
#include "foundation/FFLoader.h"
#include "foundation/MainThread.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace corvane::app;

namespace {

// Milliseconds of an "hh:mm:ss.zzz" text, -1 for anything else.
long long positionMs(const QString& text) {
  static const QRegularExpression re("^(\\d{2,}):(\\d{2}):(\\d{2})\\.(\\d{3})$");
  const auto m = re.match(text);
  if (!m.hasMatch()) return -1;
  return ((m.captured(1).toLongLong() * 60 + m.captured(2).toLongLong()) * 60 +
          m.captured(3).toLongLong()) *
             1000 +
         m.captured(4).toLongLong();
}

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatcher_ = std::make_shared<QtDispatcher>();
    setDispatcher(dispatcher_);
    form_ = std::make_unique<TfrmCorvane>();
    form_->SetFileChooser([this](QWidget*, const QString& filters) {
      ++chooserCalls_;
      lastFilters_ = filters;
      return nextFile_;
    });
  }
  void TearDown() override {
    form_.reset();
    setDispatcher(nullptr);
  }

  template <class W>
  W& get(const char* name) {
    W* w = form_->findChild<W*>(name);
    if (!w) throw std::runtime_error(std::string("no control ") + name);
    return *w;
  }
  QString status() { return get<QLabel>("lblStatus").text(); }

  std::shared_ptr<QtDispatcher> dispatcher_;
  std::unique_ptr<TfrmCorvane> form_;
  int chooserCalls_ = 0;
  QString lastFilters_;
  QString nextFile_;
};

}  // namespace

TEST_F(MainFormTest, ControlsCaptionsLayoutAndTabOrder) {
  const struct {
    const char* name;
    const char* caption;
    QRect design;  // at 607 x 380
    QRect grown;   // at 807 x 480
    bool tabStop;
  } controls[] = {
      {"Panel1", "Panel1", {8, 8, 591, 333}, {8, 8, 791, 433}, true},
      {"btnOpen", "Open", {8, 347, 75, 25}, {8, 447, 75, 25}, true},
      {"btnPause", "Pause", {82, 347, 75, 25}, {82, 447, 75, 25}, true},
      {"btnRecord", "Record", {156, 347, 75, 25}, {156, 447, 75, 25}, true},
      {"btnStop", "Stop", {230, 347, 75, 25}, {230, 447, 75, 25}, true},
      {"btnWebSite", "Web Site", {304, 347, 75, 25}, {304, 447, 75, 25}, true},
      {"chkMute", "Mute", {385, 351, 53, 17}, {385, 451, 53, 17}, true},
      {"lblStatus", "lblStatus", {444, 352, 0, 0}, {444, 452, 0, 0}, false},
  };
  const auto caption = [this](const char* name) -> QString {
    QWidget& w = get<QWidget>(name);
    if (auto* p = qobject_cast<QPushButton*>(&w)) return p->text();
    if (auto* c = qobject_cast<QCheckBox*>(&w)) return c->text();
    if (auto* l = qobject_cast<QLabel*>(&w)) return l->text();
    return static_cast<VideoPanel&>(w).Caption();
  };
  const auto placed = [this](const char* name, const QRect& r) {
    const QRect g = get<QWidget>(name).geometry();
    return r.width() ? g == r : g.topLeft() == r.topLeft();
  };

  EXPECT_EQ(form_->windowTitle().toStdString(), "Demo of RORizozu " + form_->Player().Version());
  form_->show();
  EXPECT_EQ(form_->size(), QSize(607, 380));
  for (const auto& c : controls) {
    EXPECT_EQ(caption(c.name), c.caption) << c.name;
    EXPECT_TRUE(placed(c.name, c.design)) << c.name;
    EXPECT_TRUE(get<QWidget>(c.name).isEnabled()) << c.name;
  }
  form_->resize(807, 480);
  ASSERT_TRUE(waitUntil([&] { return form_->size() == QSize(807, 480); }));
  for (const auto& c : controls) EXPECT_TRUE(placed(c.name, c.grown)) << c.name;

  // Tab order (the table's order), from the panel round the focus chain.
  std::vector<std::string> chain, expected;
  for (const auto& c : controls)
    if (c.tabStop) expected.push_back(c.name);
  QWidget* w = &get<QWidget>("Panel1");
  do {
    const std::string name = w->objectName().toStdString();
    for (const auto& c : controls)
      if (c.tabStop && name == c.name) chain.push_back(name);
    w = w->nextInFocusChain();
  } while (w != &get<QWidget>("Panel1"));
  EXPECT_EQ(chain, expected);
}

// The libraries fail to load: the panel shows the loader's message and no
// dialog is asked for; the next Open tries again, and without a LibAV
// directory beside the program the system's libraries load.
TEST_F(MainFormTest, LoadFailureShowsMessageAndAsksForNoFile) {
  const std::string bogus = "libcorvane-no-such-avformat.so.59";
  FFLoader().SetLibraryName(avFormat, bogus);
  struct Restore {
    ~Restore() { FFLoader().SetLibraryName(avFormat, ""); }
  } restore;
  form_->show();
  auto& panel = get<VideoPanel>("Panel1");

  get<QPushButton>("btnOpen").click();
  const std::string caption = panel.Caption().toStdString();
  EXPECT_EQ(caption, form_->Player().LastErrMsg());
  EXPECT_EQ(caption.rfind("Load library " + bogus + " error(#", 0), 0u) << caption;
  EXPECT_EQ(chooserCalls_, 0);
  EXPECT_FALSE(panel.VideoShown());
  EXPECT_FALSE(form_->Player().AVLibLoaded());

  FFLoader().SetLibraryName(avFormat, "");
  get<QPushButton>("btnOpen").click();
  EXPECT_TRUE(form_->Player().AVLibLoaded()) << form_->Player().LastErrMsg();
  EXPECT_EQ(chooserCalls_, 1);
  EXPECT_TRUE(lastFilters_.startsWith("Video/Audio/Picture Files (*.3GP *.3gp "));
  EXPECT_EQ(form_->Player().FileName(), "");  // cancelled: nothing opened
}

// Driven through the window's handlers: Open plays and the status follows the
// position; Pause twice resumes; Mute reaches the player; Stop then Open plays
// the file again from its start; closing stops and detaches the player.
TEST_F(MainFormTest, PlaysPausesStopsAndReopens) {
  nextFile_ = QString::fromStdString(testmedia::ensure(testmedia::Kind::Wav));
  TRORizozu& player = form_->Player();
  player.SetAudioDriver("dummy");
  player.SetDisableDisplay(true);
  form_->show();
  auto& panel = get<VideoPanel>("Panel1");

  get<QPushButton>("btnOpen").click();
  ASSERT_EQ(chooserCalls_, 1);
  ASSERT_TRUE(waitUntil([&] { return positionMs(status()) > 300; })) << status().toStdString();
  EXPECT_TRUE(panel.VideoShown());

  get<QCheckBox>("chkMute").setChecked(true);
  EXPECT_TRUE(player.Mute());

  get<QPushButton>("btnPause").click();
  ASSERT_TRUE(waitUntil([&] { return player.PlayState() == psPause; }));
  QCoreApplication::processEvents();
  const long long paused = positionMs(status());
  waitUntil([] { return false; }, 300);
  EXPECT_EQ(positionMs(status()), paused) << "the position moved while paused";

  get<QPushButton>("btnPause").click();
  EXPECT_TRUE(waitUntil([&] { return positionMs(status()) > paused + 100; }))
      << "no progress after the second Pause: " << status().toStdString();

  get<QPushButton>("btnStop").click();
  EXPECT_EQ(player.PlayState(), psStop);
  EXPECT_FALSE(panel.VideoShown());
  const QString stopped = status();
  ASSERT_GT(positionMs(stopped), 400);

  get<QPushButton>("btnOpen").click();
  ASSERT_EQ(chooserCalls_, 2);
  ASSERT_TRUE(waitUntil([&] { return status() != stopped; }));
  EXPECT_LT(positionMs(status()), 300) << "not from the start: " << status().toStdString();
  EXPECT_TRUE(waitUntil([&] { return positionMs(status()) > 300; }));

  form_->close();
  EXPECT_EQ(player.PlayState(), psStop);
  EXPECT_FALSE(player.OnPosition);
  EXPECT_FALSE(player.OnState);
  EXPECT_FALSE(player.OnOpenFailed);
  EXPECT_FALSE(player.OnFileOpen);
}

// A file that cannot be opened: the panel shows the player's message.
TEST_F(MainFormTest, OpenFailureShowsMessage) {
  nextFile_ = QString::fromStdString(testmedia::ensure(testmedia::Kind::RandomBytesMp4));
  form_->Player().SetAudioDriver("dummy");
  form_->Player().SetDisableDisplay(true);
  form_->show();
  auto& panel = get<VideoPanel>("Panel1");
  get<QPushButton>("btnOpen").click();
  ASSERT_TRUE(waitUntil([&] { return panel.Caption() != "Panel1"; }));
  EXPECT_EQ(panel.Caption().toStdString(), form_->Player().LastErrMsg());
  EXPECT_FALSE(panel.VideoShown());
}

namespace {

class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  std::vector<QUrl> urls;
 public slots:
  void open(const QUrl& url) { urls.push_back(url); }
};

}  // namespace

TEST_F(MainFormTest, WebSiteOpensHomePage) {
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("https", &catcher, "open");
  get<QPushButton>("btnWebSite").click();
  QDesktopServices::unsetUrlHandler("https");
  EXPECT_EQ(catcher.urls, std::vector<QUrl>{QUrl(kHomePage)});
  EXPECT_TRUE(get<QPushButton>("btnWebSite").toolTip().contains(kHomePage));
}

#include "main_form_test.moc"
