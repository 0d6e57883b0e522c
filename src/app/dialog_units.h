// Places controls by dialog units of the dialog's font, so the windows keep
// their arrangement and proportions whatever font size the desktop gives.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace porten::app {

// The dialogs' font: a proportional Japanese Gothic at 9 pt.
QFont DialogFont();

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  // Horizontal: du * average Latin letter width / 4; vertical: du * font
  // height / 8; rounded to the nearest pixel.
  int X(int du) const;
  int Y(int du) const;
  QRect Rect(int x, int y, int w, int h) const { return {X(x), Y(y), X(w), Y(h)}; }
  QSize Size(int w, int h) const { return {X(w), Y(h)}; }
  int baseX() const { return baseX_; }
  int baseY() const { return baseY_; }

 private:
  int baseX_;
  int baseY_;
};

}  // namespace porten::app
