// How the dialogs look on a desktop that is not Japanese: Qt's own texts in
// Japanese, and every caption fitting its control in whichever Japanese font
// is there.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include "app/dialog_units.h"
#include "app/download_app.h"
#include "app/download_dlg.h"
#include "app/port_select_dlg.h"
#include "app/qt_window_system.h"
#include "app_test_util.h"
#include "protocol/download_session.h"

namespace porten::app::testing {
namespace {

TEST(Look, QtsOwnTextsAreJapanese) {
  ASSERT_TRUE(InstallJapaneseTranslation());
  QDialogButtonBox box(QDialogButtonBox::Cancel | QDialogButtonBox::Open);
  EXPECT_EQ("キャンセル", Std(box.button(QDialogButtonBox::Cancel)->text()));
  EXPECT_EQ("開く", Std(box.button(QDialogButtonBox::Open)->text()));
}

// The controls whose captions do not fit, with what they need.
std::vector<std::string> Overflowing(QWidget* dialog) {
  std::vector<std::string> out;
  for (QWidget* w : dialog->findChildren<QWidget*>()) {
    const QFontMetrics metrics(w->font());
    int need = metrics.horizontalAdvance(w->property("text").toString() + w->property("title").toString());
    if (qobject_cast<QCheckBox*>(w)) need = w->sizeHint().width();  // the mark, the gap and the text
    if (qobject_cast<QPushButton*>(w)) need += 2 * w->style()->pixelMetric(QStyle::PM_ButtonMargin);
    if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QLabel*>(w) && !qobject_cast<QGroupBox*>(w)) continue;
    if (need > w->width() || metrics.height() > w->height()) {
      out.push_back(Std(w->objectName()) + " needs " + std::to_string(need) + ", has " + std::to_string(w->width()));
    }
  }
  return out;
}

TEST(Look, TheLayoutFitsItsTextsInThePreferredFontAndInAnyOther) {
  QStringList japanese = JapaneseFamilies();
  ASSERT_TRUE(japanese.contains(QLatin1String(kPreferredFamily))) << "scripts/test installs it";
  EXPECT_EQ(kPreferredFamily, PickDialogFamily(japanese));
  japanese.removeAll(QLatin1String(kPreferredFamily));
  for (const QString& family : {QString::fromLatin1(kPreferredFamily), PickDialogFamily(japanese)}) {
    if (family.isEmpty()) continue;  // no other Japanese font installed
    SetDialogFamily(family);
    QtWindowSystem window;
    DownloadSession session(window, SystemClock(), std::make_unique<FakePort>(), "/tmp");
    CPortSelectDlg portDialog(session, [] { return std::vector<std::string>{"ttyUSB0"}; });
    EXPECT_EQ(family, QFontInfo(portDialog.font()).family()) << "the font is there, not substituted";
    EXPECT_EQ(std::vector<std::string>{}, Overflowing(&portDialog)) << Std(family);
    CDownloadDlg mainDialog(session, window, "/tmp");
    EXPECT_EQ(std::vector<std::string>{}, Overflowing(&mainDialog)) << Std(family);
  }
  SetDialogFamily({});
}

}  // namespace
}  // namespace porten::app::testing
