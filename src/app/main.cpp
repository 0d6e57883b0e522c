// porten [DIRECTORY]: writes a program image into the target's ROM, from two
// dialogs. DIRECTORY holds the boot loader files (see ChooseBootDir).
#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <cstdio>

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
  QCommandLineParser parser;
  // "-stylesheet" is Qt's option, not -s -t -y ... with an -h among them.
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringLiteral("version"));
  parser.addOptions({help, version});
  parser.addPositionalArgument(QStringLiteral("DIRECTORY"), QString());
  // These two need no display: the raw arguments, before QApplication takes
  // Qt's own options (-platform, ...) out of them.
  QStringList raw;
  for (int i = 0; i < argc; ++i) raw << QString::fromLocal8Bit(argv[i]);
  parser.parse(raw);
  if (parser.isSet(help)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (parser.isSet(version)) {
    std::puts(PORTEN_VERSION);
    return 0;
  }
  QApplication qapp(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Porten"));
  QCoreApplication::setApplicationName(QStringLiteral("porten"));
  QCoreApplication::setApplicationVersion(QStringLiteral(PORTEN_VERSION));

  porten::app::CDownloadApp::Options options;
  if (!parser.parse(QCoreApplication::arguments())) {
    std::fprintf(stderr, "porten: %s\n%s", qPrintable(parser.errorText()), kUsage);
    return 2;
  }
  const QStringList args = parser.positionalArguments();
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
