// The choices the dialogs remember from one run to the next, in the user's
// ~/.config/Porten/porten.conf: the port, the boot file directory, the boot
// file and the image path. "RAM転送" and "CPU BOOTもどき" are not among them;
// they start unchecked every time.
#pragma once

#include <QSettings>
#include <QString>
#include <functional>
#include <memory>

namespace porten::app {

inline constexpr char kPortKey[] = "port";
inline constexpr char kBootDirKey[] = "bootDirectory";
inline constexpr char kBootFileKey[] = "bootFile";  // a full path
inline constexpr char kImageKey[] = "image";        // a full path

// The user's settings, or those in file when it is given.
std::unique_ptr<QSettings> OpenSettings(const QString& file = {});

// The value under key when usable says it still is; else "", and a stale
// value is dropped from settings. settings may be nullptr: nothing remembered.
QString Recall(QSettings* settings, const char* key, const std::function<bool(const QString&)>& usable);
void Remember(QSettings* settings, const char* key, const QString& value);

}  // namespace porten::app
