// porten: writes a program image into the target's ROM, from two dialogs.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <memory>

#include "app/automation.h"
#include "app/download_app.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);  // takes Qt's own options (-platform, ...)
  QCoreApplication::setApplicationName(QStringLiteral("porten"));
  QCoreApplication::setApplicationVersion(QStringLiteral(PORTEN_VERSION));
  if (QCoreApplication::arguments().size() > 1) {
    std::fprintf(stderr, "porten: takes no arguments (everything is chosen in the window)\n");
    return 2;
  }
  QIcon icon;
  icon.addFile(QStringLiteral(":/icons/porten-32.png"), QSize(32, 32));
  icon.addFile(QStringLiteral(":/icons/porten-16.png"), QSize(16, 16));
  QApplication::setWindowIcon(icon);

  porten::app::CDownloadApp app;
  std::unique_ptr<porten::app::Automation> automation(porten::app::Automation::FromEnvironment(app));
  app.InitInstance();
  return automation ? automation->exitCode() : 0;
}
