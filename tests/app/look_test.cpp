// How the dialogs look on a desktop that is not Japanese: Qt's own texts in
// Japanese, and the layout fitting its texts in whichever Japanese font is
// there.
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

// The captions that do not fit their controls, with what they need.
std::vector<std::string> Overflowing(QWidget* dialog) {
  std::vector<std::string> out;
  for (QWidget* w : dialog->findChildren<QWidget*>()) {
    const QFontMetrics metrics(w->font());
    int need = 0;
    if (auto* check = qobject_cast<QCheckBox*>(w)) {
      need = check->sizeHint().width();  // the check mark, the gap and the text
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
      need = metrics.horizontalAdvance(button->text()) + 2 * w->style()->pixelMetric(QStyle::PM_ButtonMargin);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
      need = metrics.horizontalAdvance(label->text());
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
      need = metrics.horizontalAdvance(group->title());
    } else {
      continue;
    }
    if (need > w->width() || metrics.height() > w->height()) {
      out.push_back(Std(w->objectName()) + " needs " + std::to_string(need) + ", has " + std::to_string(w->width()));
    }
  }
  return out;
}

class FontTest : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override { SetDialogFamily({}); }
};

TEST_P(FontTest, TheLayoutFitsItsTextsInTheFontChosen) {
  const bool preferredThere = GetParam();
  QStringList japanese = JapaneseFamilies();
  ASSERT_TRUE(japanese.contains(QLatin1String(kPreferredFamily))) << "scripts/test installs it";
  if (!preferredThere) japanese.removeAll(QLatin1String(kPreferredFamily));
  if (japanese.isEmpty()) GTEST_SKIP() << "no other Japanese font installed";
  const QString family = PickDialogFamily(japanese);
  EXPECT_EQ(preferredThere, family == QLatin1String(kPreferredFamily));
  SetDialogFamily(family);

  QtWindowSystem window;
  DownloadSession session(window, SystemClock(), std::make_unique<FakePort>(), "/tmp");
  CPortSelectDlg portDialog(session, [] { return std::vector<std::string>{"ttyUSB0"}; });
  EXPECT_EQ(family, QFontInfo(portDialog.font()).family()) << "the font is there, not substituted";
  EXPECT_EQ(std::vector<std::string>{}, Overflowing(&portDialog)) << Std(family);
  CDownloadDlg mainDialog(session, window, "/tmp");
  EXPECT_EQ(std::vector<std::string>{}, Overflowing(&mainDialog)) << Std(family);
  // Vertically a dialog unit is an eighth of the font's height: 153 of them.
  EXPECT_NEAR(153 / 8.0, mainDialog.height() / double(mainDialog.fontMetrics().height()), 0.1);
}

INSTANTIATE_TEST_SUITE_P(Preferred, FontTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Installed" : "Missing"; });

}  // namespace
}  // namespace porten::app::testing
