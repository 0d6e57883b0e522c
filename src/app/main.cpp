// porten [DIRECTORY]: writes a program image into the target's ROM, from two
// dialogs. DIRECTORY holds the boot loader files (see ChooseBootDir).
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <cstdio>
#include <cstring>

#include "app/download_app.h"

namespace {

constexpr char kUsage[] =
    "Usage: porten [DIRECTORY]\n"
    "Writes a program image into a microcontroller's ROM over a serial port.\n"
    "The boot loader files (*.MOT) are listed from DIRECTORY; without it, from\n"
    "the current directory when it holds one, else from the directory of the\n"
    "last run.\n";

}  // namespace

int main(int argc, char** argv) {
  // These two need no display.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts(PORTEN_VERSION);
    return 0;
  }
  QApplication qapp(argc, argv);  // takes Qt's own options (-platform, ...)
  QCoreApplication::setOrganizationName(QStringLiteral("Porten"));
  QCoreApplication::setApplicationName(QStringLiteral("porten"));
  QCoreApplication::setApplicationVersion(QStringLiteral(PORTEN_VERSION));

  const QStringList args = QCoreApplication::arguments().mid(1);
  porten::app::CDownloadApp::Options options;
  if (args.size() > 1) {
    std::fprintf(stderr, "porten: takes at most one argument, the boot file directory\n%s", kUsage);
    return 2;
  }
  if (!args.isEmpty()) {
    const QString& arg = args.constFirst();
    const QFileInfo dir(arg);
    if (!dir.isDir()) {
      std::fprintf(stderr, "porten: %s is not a directory\n", qPrintable(arg));
      return 2;
    }
    options.bootDir = QFile::encodeName(dir.absoluteFilePath()).toStdString();
  }

  porten::app::InstallJapaneseTranslation();
  QIcon icon;
  icon.addFile(QStringLiteral(":/icons/porten-32.png"), QSize(32, 32));
  icon.addFile(QStringLiteral(":/icons/porten-16.png"), QSize(16, 16));
  QApplication::setWindowIcon(icon);

  porten::app::CDownloadApp app(std::move(options));
  app.InitInstance();
  return 0;
}
