#include "app/remembered.h"

namespace porten::app {

std::unique_ptr<QSettings> OpenSettings(const QString& file) {
  if (!file.isEmpty()) return std::make_unique<QSettings>(file, QSettings::NativeFormat);
  return std::make_unique<QSettings>(QStringLiteral("Porten"), QStringLiteral("porten"));
}

QString Recall(QSettings* settings, const char* key, const std::function<bool(const QString&)>& usable) {
  if (!settings) return {};
  const QString name = QString::fromLatin1(key);
  const QString value = settings->value(name).toString();
  if (value.isEmpty()) return {};
  if (usable(value)) return value;
  settings->remove(name);
  return {};
}

void Remember(QSettings* settings, const char* key, const QString& value) {
  if (!settings) return;
  settings->setValue(QString::fromLatin1(key), value);
  settings->sync();  // a later crash or kill must not lose it
}

}  // namespace porten::app
