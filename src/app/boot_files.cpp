#include "app/boot_files.h"

#include <algorithm>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

namespace porten::app {

std::vector<std::string> ListBootFiles(const std::string& dir) {
  QDir directory(QString::fromStdString(dir));
  directory.setFilter(QDir::Files);  // regular files (and links to them), no hidden ones
  directory.setNameFilters({QStringLiteral("*.mot")});  // QDir matches without regard to case
  QStringList names = directory.entryList();
  // Equal but for case ("a.mot", "A.MOT"): keep a fixed order between them.
  std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
    const int folded = a.compare(b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a < b;
  });
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(names.size()));
  for (const QString& name : names) out.push_back(QFile::encodeName(name).toStdString());
  return out;
}

std::string ChooseBootDir(const std::string& dirArgument, const std::string& cwd,
                          const std::string& remembered) {
  if (!dirArgument.empty()) return dirArgument;
  if (!ListBootFiles(cwd).empty() || remembered.empty()) return cwd;
  if (QFileInfo(QFile::decodeName(QByteArray::fromStdString(remembered))).isDir()) return remembered;
  return cwd;
}

}  // namespace porten::app
