#include "app/dialog_units.h"

#include <QFontMetrics>
#include <QString>

namespace porten::app {

QFont DialogFont() {
  QFont font(QStringLiteral("IPAPGothic"), 9);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = (letters + 26) / 52;
  baseY_ = metrics.height();
  if (baseX_ < 1) baseX_ = 1;
  if (baseY_ < 1) baseY_ = 1;
}

int DialogUnits::X(int du) const { return (du * baseX_ + 2) / 4; }
int DialogUnits::Y(int du) const { return (du * baseY_ + 4) / 8; }

}  // namespace porten::app
