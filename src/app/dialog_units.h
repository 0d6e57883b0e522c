// Places controls by dialog units of the dialog's font, so the windows keep
// their arrangement and proportions whatever font the desktop has.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <utility>
#include <vector>

class QWidget;

namespace porten::app {

// The family the dialogs were drawn for.
inline constexpr char kPreferredFamily[] = "IPAPGothic";

// The installed families that cover Japanese, best first, as fontconfig
// ranks them for a Japanese sans-serif text.
QStringList JapaneseFamilies();

// kPreferredFamily when it is among japanese, else the first of japanese,
// else "" (no Japanese font at all: whatever sans-serif the system gives).
QString PickDialogFamily(const QStringList& japanese);

// The dialogs' font at 9 pt: the family PickDialogFamily chose from the
// installed fonts, or the one given to SetDialogFamily.
QFont DialogFont();
// Uses family from now on (an empty one: choose from the installed fonts).
void SetDialogFamily(const QString& family);

class DialogUnits {
 public:
  // From the font the widget system actually resolves font to.
  explicit DialogUnits(const QFont& font);
  // Horizontal: du * average Latin letter width / 4; vertical: du * font
  // height / 8; rounded to the nearest pixel.
  int X(int du) const;
  int Y(int du) const;
  QRect Rect(const QRect& du) const { return {X(du.x()), Y(du.y()), X(du.width()), Y(du.height())}; }
  QSize Size(int w, int h) const { return {X(w), Y(h)}; }
  // Widens the horizontal unit so that X(du) is at least px.
  void FitWidth(int du, int px);

 private:
  double baseX_;
  int baseY_;
};

// The pixels a control needs across for its caption: the text, and the
// frame or check mark the style draws beside it. 0 for other controls.
int CaptionWidth(const QWidget* control);

// Places a dialog's controls by their template positions once all are made:
// in dialog units of the dialog's font, widened as a whole where some
// caption would not fit its control in that font (the template was drawn for
// narrower glyphs), so the arrangement and proportions stay.
class DialogLayout {
 public:
  void Add(QWidget* control, const QRect& du) { places_.emplace_back(control, du); }
  // Places the controls and fixes the dialog's size.
  void Apply(QWidget* dialog, QSize dialogDu) const;

 private:
  std::vector<std::pair<QWidget*, QRect>> places_;
};

}  // namespace porten::app
