// The demo window: plays a media file in its panel, with the transport
// controls and the position display, and records what it plays.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "FormText.h"
#include "VideoSurface.h"
#include "encoder/CustomEncoder.h"
#include "player/CustomPlayer.h"
#include "recording/PlayerEncoderPorts.h"
#include "recording/RecordingBridge.h"

namespace corvane::app {

class TfrmCorvane : public QWidget {
  Q_OBJECT

 public:
  // Asks for a file to open with the given Qt name filters; empty: cancelled.
  using TFileChooser = std::function<QString(QWidget* AParent, const QString& ANameFilters)>;
  // Shows a message to the user; tests replace the modal box.
  using TNotifier =
      std::function<void(QWidget* AParent, const QString& ATitle, const QString& AText)>;

  explicit TfrmCorvane(QWidget* parent = nullptr);
  ~TfrmCorvane() override;

  void SetFileChooser(TFileChooser AChooser) { FFileChooser = std::move(AChooser); }
  static QString ChooseWithDialog(QWidget* AParent, const QString& ANameFilters);
  void SetNotifier(TNotifier ANotifier) { FNotifier = std::move(ANotifier); }
  // A warning box titled ATitle.
  static void WarnWithMessageBox(QWidget* AParent, const QString& ATitle, const QString& AText);
  TRORizozu& Player() { return RORizozu; }
  TDEDirerer& Encoder() { return DEDirerer; }
  TRecordingBridge& Recorder() { return FBridge; }
  // The directory the player's libraries are loaded from on the first Open.
  static QString LibraryDir();

  // Loads the libraries when needed and starts playing the file (the file
  // named on the command line).
  bool OpenFile(const QString& AFileName);

  void btnOpenClick();
  void btnPauseClick();
  void btnRecordClick();
  void btnStopClick();
  void btnWebSiteClick();
  void chkMuteClick();
  // The Record button's caption animation (every 500 ms).
  void Timer1Timer();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FormCreate();
  bool LoadLibraries();
  bool StartPlayback(const QString& AFileName);
  void ShowError();
  void LayoutControls();
  void SetStatus(const QString& AText);
  void AttachPlayer();
  void ShutdownPlayer();

  void RORizozuFileOpen();
  void RORizozuPosition(std::int64_t APTS);
  void RORizozuState(TPlayState APlayState);
  void RORizozuOpenFailed();
  void ShowEncoderError();
  void ShowRecordingDone();

  VideoPanel Panel1{this};
  QPushButton btnOpen{"Open", this};
  QPushButton btnPause{"Pause", this};
  QPushButton btnRecord{"Record", this};
  QPushButton btnStop{"Stop", this};
  QPushButton btnWebSite{"Web Site", this};
  QCheckBox chkMute{"Mute", this};
  QLabel lblStatus{"lblStatus", this};
  QString FNameFilters;
  TFileChooser FFileChooser = ChooseWithDialog;
  TNotifier FNotifier = WarnWithMessageBox;
  int FOpenFiles = 0;      // files opened whose psStop is not seen yet
  int FReplacedStops = 0;  // psStops to come of files replaced by the next one
  bool FShutDown = false;
  // Declared after the widgets, so destroyed before them; the bridge goes
  // first, while the player and the encoder it drives are still there.
  TRORizozu RORizozu;
  TDEDirerer DEDirerer;
  TPlayerRecordPort FPlayerPort{RORizozu};
  TEncoderRecordPort FEncoderPort{DEDirerer};
  TRecordingBridge FBridge{FPlayerPort, FEncoderPort, [this](const std::string& AText) {
                             FNotifier(this, "Error", QString::fromStdString(AText));
                           }};
  QTimer Timer1{this};
  std::unique_ptr<ScreenReporter> FScreenReporter;
};

}  // namespace corvane::app
