// A hidden hook that drives the real program without a human, for the
// screenshot script. Off unless PORTEN_AUTO_SHOTS is set:
//
//   PORTEN_AUTO_SHOTS  directory the window pictures are written to
//   PORTEN_AUTO_PORT   port to type into the port dialog
//   PORTEN_AUTO_BOOT   boot loader name to type into the boot file list
//                      (the first listed one when unset)
//   PORTEN_AUTO_IMAGE  write image the "参照" button picks
//
// It grabs port-select.png, clicks OK, presses "CPU選択", picks the image,
// grabs main-loaded.png once both loads are done, presses the Write button,
// grabs main-written.png when the status line says how it ended, and leaves
// through "終了". Messages boxes are printed to stderr instead of shown.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

namespace porten::app {

class CDownloadApp;

class Automation final : public QObject {
  Q_OBJECT

 public:
  // nullptr when the environment does not ask for it.
  static Automation* FromEnvironment(CDownloadApp& app);

  // 0 when the run went through to the written picture.
  int exitCode() const { return exitCode_; }

 private:
  explicit Automation(CDownloadApp& app);
  void Step();
  void Fail(const char* what);
  bool Grab(QWidget* widget, const char* file);

  CDownloadApp& app_;
  QTimer tick_;
  QString shots_, port_, boot_, image_;
  int phase_ = 0;
  int waited_ = 0;
  int exitCode_ = 1;
};

}  // namespace porten::app
