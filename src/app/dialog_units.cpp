#include "app/dialog_units.h"

#include <fontconfig/fontconfig.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStyle>
#include <cmath>
#include <optional>

namespace porten::app {

namespace {

// Unset until the first dialog asks; GUI thread only.
std::optional<QString>& ChosenFamily() {
  static std::optional<QString> family;
  return family;
}

}  // namespace

QStringList JapaneseFamilies() {
  // Qt lists the families that have Japanese glyphs but not which of them the
  // system prefers; fontconfig's sort for "sans-serif:lang=ja" says that.
  QStringList families;
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif:lang=ja"));
  if (!pattern) return families;
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcFontSet* sorted = FcFontSort(nullptr, pattern, FcFalse, nullptr, &result);
  if (sorted) {
    for (int i = 0; i < sorted->nfont; ++i) {
      FcLangSet* langs = nullptr;
      FcChar8* family = nullptr;
      if (FcPatternGetLangSet(sorted->fonts[i], FC_LANG, 0, &langs) != FcResultMatch ||
          FcLangSetHasLang(langs, reinterpret_cast<const FcChar8*>("ja")) != FcLangEqual ||
          FcPatternGetString(sorted->fonts[i], FC_FAMILY, 0, &family) != FcResultMatch) {
        continue;
      }
      const QString name = QString::fromUtf8(reinterpret_cast<const char*>(family));
      if (!families.contains(name)) families.append(name);
    }
    FcFontSetDestroy(sorted);
  }
  FcPatternDestroy(pattern);
  return families;
}

QString PickDialogFamily(const QStringList& japanese) {
  const QString preferred = QString::fromLatin1(kPreferredFamily);
  if (japanese.contains(preferred)) return preferred;
  return japanese.isEmpty() ? QString() : japanese.constFirst();
}

void SetDialogFamily(const QString& family) {
  if (family.isEmpty()) {
    ChosenFamily().reset();
  } else {
    ChosenFamily() = family;
  }
}

QFont DialogFont() {
  if (!ChosenFamily()) ChosenFamily() = PickDialogFamily(JapaneseFamilies());
  QFont font;
  if (!ChosenFamily()->isEmpty()) font.setFamily(*ChosenFamily());
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(9);
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

int DialogUnits::X(int du) const { return static_cast<int>(std::lround(du * baseX_ / 4)); }
int DialogUnits::Y(int du) const { return (du * baseY_ + 4) / 8; }

void DialogUnits::FitWidth(int du, int px) {
  if (du > 0 && X(du) < px) baseX_ = std::ceil(px * 4.0 / du * 64) / 64;  // a little over, not under
}

int CaptionWidth(const QWidget* control) {
  const QFontMetrics metrics(control->font());
  if (auto* check = qobject_cast<const QCheckBox*>(control)) return check->sizeHint().width();
  if (auto* button = qobject_cast<const QPushButton*>(control)) {
    return metrics.horizontalAdvance(button->text()) +
           2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
  }
  if (auto* label = qobject_cast<const QLabel*>(control)) {
    return metrics.horizontalAdvance(label->text()) + 2 * label->frameWidth();
  }
  if (auto* group = qobject_cast<const QGroupBox*>(control)) {
    return metrics.horizontalAdvance(group->title()) + metrics.averageCharWidth() * 2;
  }
  return 0;
}

void DialogLayout::Apply(QWidget* dialog, QSize dialogDu) const {
  DialogUnits du(dialog->font());
  for (const auto& [control, rect] : places_) du.FitWidth(rect.width(), CaptionWidth(control));
  for (const auto& [control, rect] : places_) {
    QRect px = du.Rect(rect);
    // A combo box's template height includes its drop-down list; the closed
    // box is as tall as its font needs.
    if (qobject_cast<QComboBox*>(control)) px.setHeight(control->sizeHint().height());
    control->setGeometry(px);
  }
  dialog->setFixedSize(du.Size(dialogDu.width(), dialogDu.height()));
}

}  // namespace porten::app
