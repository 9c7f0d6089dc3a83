#include "MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QResizeEvent>
#include <QUrl>
#include <array>
#include <chrono>

#include "Anchors.h"
#include "FormText.h"
#include "foundation/BaseComponent.h"
#include "foundation/MainThread.h"
#include "recording/RecordCaption.h"

namespace corvane::app {
namespace {

const QSize kDesignClient{607, 380};

struct TControlLayout {
  QRect design;
  TAnchors anchors;
};

}  // namespace

TfrmCorvane::TfrmCorvane(QWidget* parent) : QWidget(parent) {
  Panel1.setObjectName("Panel1");
  Panel1.SetCaption("Panel1");
  btnOpen.setObjectName("btnOpen");
  btnPause.setObjectName("btnPause");
  btnRecord.setObjectName("btnRecord");
  Timer1.setObjectName("Timer1");
  btnStop.setObjectName("btnStop");
  btnWebSite.setObjectName("btnWebSite");
  chkMute.setObjectName("chkMute");
  lblStatus.setObjectName("lblStatus");

  QFont font("Tahoma");
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  setFont(font);
  resize(kDesignClient);

  setTabOrder(&Panel1, &btnOpen);
  setTabOrder(&btnOpen, &btnPause);
  setTabOrder(&btnPause, &btnRecord);
  setTabOrder(&btnRecord, &btnStop);
  setTabOrder(&btnStop, &btnWebSite);
  setTabOrder(&btnWebSite, &chkMute);

  connect(&btnOpen, &QPushButton::clicked, this, &TfrmCorvane::btnOpenClick);
  connect(&btnPause, &QPushButton::clicked, this, &TfrmCorvane::btnPauseClick);
  connect(&btnRecord, &QPushButton::clicked, this, &TfrmCorvane::btnRecordClick);
  connect(&btnStop, &QPushButton::clicked, this, &TfrmCorvane::btnStopClick);
  connect(&btnWebSite, &QPushButton::clicked, this, &TfrmCorvane::btnWebSiteClick);
  connect(&chkMute, &QCheckBox::toggled, this, &TfrmCorvane::chkMuteClick);
  connect(&Timer1, &QTimer::timeout, this, &TfrmCorvane::Timer1Timer);

  FormCreate();
  LayoutControls();
}

TfrmCorvane::~TfrmCorvane() {
  ShutdownPlayer();
  // Once for the player and once for the encoder.
  TFFBaseComponent::RestoreFPUExceptions();
  TFFBaseComponent::RestoreFPUExceptions();
}

void TfrmCorvane::FormCreate() {
  const QString title =
      QString("Demo of RORizozu %1").arg(QString::fromStdString(RORizozu.Version()));
  QGuiApplication::setApplicationDisplayName(title);
  setWindowTitle(title);
  btnWebSite.setToolTip(QString("Corvane web site: %1").arg(kHomePage));
  FNameFilters = QString::fromStdString(NameFilters(kOpenFilter));
  TFFBaseComponent::DisableFPUExceptions();
  TFFBaseComponent::DisableFPUExceptions();
  AttachPlayer();
  Timer1.start(std::chrono::milliseconds(500));
  // The surface's native window exists from the start; the player gets its id.
  Panel1.Surface().winId();
  FScreenReporter = std::make_unique<ScreenReporter>(
      Panel1.Surface(), ScreenReporter::TReports{
                            [this](int w, int h) { RORizozu.ScreenResized(w, h); },
                            [this] { RORizozu.ScreenExposed(); },
                            [this] { RORizozu.ScreenClosed(); },
                        });
}

void TfrmCorvane::AttachPlayer() {
  RORizozu.OnFileOpen = [this](TObject*, std::int64_t, int, int, int&, int&) {
    RORizozuFileOpen();
  };
  RORizozu.OnPosition = [this](TObject*, std::int64_t APTS) { RORizozuPosition(APTS); };
  RORizozu.OnState = [this](TObject*, TPlayState s) { RORizozuState(s); };
  RORizozu.OnOpenFailed = [this](TObject*) { RORizozuOpenFailed(); };
  AttachRecordingHooks(RORizozu, FBridge);
  FBridge.SetOnStopped([this] { ShowRecordingDone(); });
}

QString TfrmCorvane::ChooseWithDialog(QWidget* AParent, const QString& ANameFilters) {
  QFileDialog dialog(AParent);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setSizeGripEnabled(true);
  dialog.setNameFilter(ANameFilters);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

void TfrmCorvane::WarnWithMessageBox(QWidget* AParent, const QString& ATitle,
                                     const QString& AText) {
  QMessageBox::warning(AParent, ATitle, AText);
}

QString TfrmCorvane::LibraryDir() {
  return QCoreApplication::applicationDirPath() + "/" + kLibraryDirName;
}

// The player's libraries, then the encoder's with the recording's input
// formats. A missing directory falls back to the system's libraries.
bool TfrmCorvane::LoadLibraries() {
  if (!RORizozu.AVLibLoaded() && !RORizozu.LoadAVLib(LibraryDir().toStdString())) {
    ShowError();
    return false;
  }
  if (!DEDirerer.AVLibLoaded() && !DEDirerer.LoadAVLib(LibraryDir().toStdString())) {
    ShowEncoderError();
    return false;
  }
  RegisterRecordingInputFormats();
  return true;
}

bool TfrmCorvane::OpenFile(const QString& AFileName) {
  return LoadLibraries() && StartPlayback(AFileName);
}

bool TfrmCorvane::StartPlayback(const QString& AFileName) {
  Panel1.ShowVideo(true);
  const auto handle = static_cast<std::uintptr_t>(Panel1.Surface().winId());
  // The file playing stops for this one; its psStop may come during TryOpen
  // or after it.
  const bool replacing = FOpenFiles > 0;
  if (replacing) ++FReplacedStops;
  const bool ok = RORizozu.TryOpen(AFileName.toStdString(), handle, false);
  // Failed before it stopped the file playing: no psStop of a replaced file comes.
  if (!ok && replacing && RORizozu.PlayState() != psStop && FReplacedStops > 0) --FReplacedStops;
  if (!ok) ShowError();
  return ok;
}

void TfrmCorvane::ShowError() {
  Panel1.SetCaption(QString::fromStdString(RORizozu.LastErrMsg()));
  Panel1.ShowVideo(false);
}

void TfrmCorvane::ShowEncoderError() {
  Panel1.SetCaption(QString::fromStdString(DEDirerer.LastErrMsg()));
  Panel1.ShowVideo(false);
}

void TfrmCorvane::btnOpenClick() {
  if (!LoadLibraries()) return;
  const QString file = FFileChooser(this, FNameFilters);
  if (!file.isEmpty()) StartPlayback(file);
}

void TfrmCorvane::btnPauseClick() { RORizozu.TogglePause(); }

void TfrmCorvane::btnRecordClick() { FBridge.ToggleRecording(); }

void TfrmCorvane::btnStopClick() {
  RORizozu.Stop(true);
  Panel1.ShowVideo(false);
  Panel1.repaint();
}

void TfrmCorvane::btnWebSiteClick() { QDesktopServices::openUrl(QUrl(kHomePage)); }

void TfrmCorvane::chkMuteClick() { RORizozu.SetMute(chkMute.isChecked()); }

// Animates while armed as well as while recording: a press shows at once.
void TfrmCorvane::Timer1Timer() {
  // One cycle for the process: the next recording goes on where the last stopped.
  static int counter = 0;
  const TRecordState state = FBridge.Recording();
  btnRecord.setText(QString::fromStdString(RecordButtonCaption(state, counter)));
}

// What the last recording wrote and what it dropped and skipped, in the
// status label and the button's tooltip; called as the recording stops.
void TfrmCorvane::ShowRecordingDone() {
  const QString text = QString::fromStdString("Recorded " + FBridge.OutputFileName() + ": " +
                                              FormatDrops(FBridge.Drops()));
  btnRecord.setToolTip(text);
  SetStatus(text);
}

void TfrmCorvane::RORizozuFileOpen() {
  // The player's event thread starts now and ends with the psStop event.
  ++FOpenFiles;
  Panel1.ShowVideo(true);
  // The player starts with the panel's current size.
  const QSize s = ScreenReporter::PixelSize(Panel1.Surface());
  RORizozu.ScreenResized(s.width(), s.height());
  FBridge.OnFileOpen();
}

void TfrmCorvane::RORizozuPosition(std::int64_t APTS) {
  SetStatus(QString::fromStdString(PositionText(APTS)));
}

void TfrmCorvane::RORizozuState(TPlayState APlayState) {
  // What was played is recorded once the file has played to its end.
  if (APlayState == psEnd && FBridge.Recording() == rsRecording) FBridge.StopRecording();
  if (APlayState != psStop) return;
  if (FOpenFiles > 0) --FOpenFiles;
  const bool replaced = FReplacedStops > 0;
  if (replaced) --FReplacedStops;
  // A recording ends with its file. Armed for the next file (a start that
  // failed stays armed), it stays so when this file stops for the next one.
  if (replaced)
    FBridge.OnFileReplaced();
  else
    FBridge.OnPlayStateStop();
  // The previous file stopping for the next one leaves the video shown.
  if (!replaced) Panel1.ShowVideo(false);
}

void TfrmCorvane::RORizozuOpenFailed() { ShowError(); }

void TfrmCorvane::SetStatus(const QString& AText) {
  lblStatus.setText(AText);
  lblStatus.resize(lblStatus.sizeHint());
}

void TfrmCorvane::LayoutControls() {
  static const std::array<TControlLayout, 7> kLayout{{
      {{8, 8, 591, 333}, akLeft | akTop | akRight | akBottom},
      {{8, 347, 75, 25}, akLeft | akBottom},
      {{82, 347, 75, 25}, akLeft | akBottom},
      {{156, 347, 75, 25}, akLeft | akBottom},
      {{230, 347, 75, 25}, akLeft | akBottom},
      {{304, 347, 75, 25}, akLeft | akBottom},
      {{385, 351, 53, 17}, akLeft | akBottom},
  }};
  const std::array<QWidget*, 7> controls{&Panel1,  &btnOpen,    &btnPause, &btnRecord,
                                         &btnStop, &btnWebSite, &chkMute};
  for (std::size_t i = 0; i < controls.size(); ++i)
    controls[i]->setGeometry(
        AnchoredRect(kLayout[i].design, kDesignClient, kLayout[i].anchors, size()));
  // The label sizes itself to its text.
  const QRect label = AnchoredRect({444, 352, 41, 13}, kDesignClient, akLeft | akBottom, size());
  lblStatus.move(label.topLeft());
  lblStatus.resize(lblStatus.sizeHint());
}

void TfrmCorvane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutControls();
}

void TfrmCorvane::closeEvent(QCloseEvent* event) {
  ShutdownPlayer();
  event->accept();
}

// The recording ends first (its task reads what the hooks wrote); then the
// player stops and every handler goes before the widgets do.
void TfrmCorvane::ShutdownPlayer() {
  if (FShutDown) return;
  FShutDown = true;
  FBridge.StopRecording();
  Timer1.stop();
  btnRecord.setText("Record");
  RORizozu.Stop(true);
  // The event thread reads the handlers until it has delivered the stop.
  waitPumping([this] { return FOpenFiles == 0 || shutdownRequested(); }, std::chrono::seconds(2));
  RORizozu.OnFileOpen = nullptr;
  RORizozu.OnPosition = nullptr;
  RORizozu.OnPosition2 = nullptr;
  RORizozu.OnState = nullptr;
  RORizozu.OnOpenFailed = nullptr;
  RORizozu.OnError = nullptr;
  RORizozu.OnVideoHook = nullptr;
  DetachRecordingHooks(RORizozu);
  FBridge.SetOnStopped({});
  RORizozu.OnBeforeFindStreamInfo = nullptr;
  FScreenReporter.reset();
}

}  // namespace corvane::app
