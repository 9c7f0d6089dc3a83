// The demo window: plays a media file in its panel, with the transport
// controls and the position display.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "FormText.h"
#include "VideoSurface.h"
#include "player/CustomPlayer.h"

namespace corvane::app {

class TfrmCorvane : public QWidget {
  Q_OBJECT

 public:
  // Asks for a file to open with the given Qt name filters; empty: cancelled.
  using TFileChooser = std::function<QString(QWidget* AParent, const QString& ANameFilters)>;

  explicit TfrmCorvane(QWidget* parent = nullptr);
  ~TfrmCorvane() override;

  void SetFileChooser(TFileChooser AChooser) { FFileChooser = std::move(AChooser); }
  static QString ChooseWithDialog(QWidget* AParent, const QString& ANameFilters);
  TRORizozu& Player() { return RORizozu; }
  // The directory the player's libraries are loaded from on the first Open.
  static QString LibraryDir();

  // Loads the libraries when needed and starts playing the file (the file
  // named on the command line).
  bool OpenFile(const QString& AFileName);

  void btnOpenClick();
  void btnPauseClick();
  void btnStopClick();
  void btnWebSiteClick();
  void chkMuteClick();

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
  bool FOpening = false;      // inside TryOpen: the stop of the previous file
  bool FStopPending = false;  // a file opened and its psStop is not seen yet
  bool FShutDown = false;
  // Declared after the widgets, so destroyed before them.
  TRORizozu RORizozu;
  std::unique_ptr<ScreenReporter> FScreenReporter;
};

}  // namespace corvane::app
