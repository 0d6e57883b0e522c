// How the dialogs look on a desktop that is not Japanese: Qt's own texts in
// Japanese, and the layout fitting its texts in whichever Japanese font is
// there.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include "app/download_app.h"
#include "app/download_dlg.h"
#include "app/port_select_dlg.h"
#include "app/dialog_units.h"
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

// Every caption within its control, in each font the dialogs may get.
std::vector<std::string> Overflowing(QWidget* dialog) {
  std::vector<std::string> out;
  for (QWidget* w : dialog->findChildren<QWidget*>()) {
    const QFontMetrics metrics(w->font());
    int need = 0;
    if (auto* check = qobject_cast<QCheckBox*>(w)) {
      need = check->sizeHint().width();
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
      // The text and the frame's margins on both sides.
      need = metrics.horizontalAdvance(button->text()) +
             2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
      need = metrics.horizontalAdvance(label->text());
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
      need = metrics.horizontalAdvance(group->title());
    } else {
      continue;
    }
    if (need > w->width() || metrics.height() > w->height()) {
      out.push_back(Std(w->objectName()) + " needs " + std::to_string(need) + "x" +
                    std::to_string(metrics.height()) + ", has " + std::to_string(w->width()) + "x" +
                    std::to_string(w->height()));
    }
  }
  return out;
}

class FontTest : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override { SetDialogFamily({}); }
};

TEST_P(FontTest, TheLayoutFitsItsTextsInTheFontChosen) {
  QStringList japanese = JapaneseFamilies();
  ASSERT_FALSE(japanese.isEmpty()) << "no Japanese font installed";
  const bool preferredThere = GetParam();
  if (!preferredThere) japanese.removeAll(QString::fromLatin1(kPreferredFamily));
  if (japanese.isEmpty()) GTEST_SKIP() << "no Japanese font but " << kPreferredFamily;
  const QString family = PickDialogFamily(japanese);
  EXPECT_EQ(preferredThere, family == QLatin1String(kPreferredFamily));
  SetDialogFamily(family);

  QtWindowSystem window;
  DownloadSession session(window, SystemClock(), std::make_unique<FakePort>(), "/tmp");
  CPortSelectDlg portDialog(session, [] { return std::vector<std::string>{"ttyUSB0"}; });
  EXPECT_EQ(family, QFontInfo(portDialog.font()).family()) << "the font is there, not substituted";
  EXPECT_EQ(std::vector<std::string>{}, Overflowing(&portDialog)) << Std(family);
  {
    CDownloadDlg mainDialog(session, window, "/tmp");
    EXPECT_EQ(std::vector<std::string>{}, Overflowing(&mainDialog)) << Std(family);
  }
}

INSTANTIATE_TEST_SUITE_P(Preferred, FontTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Installed" : "Missing"; });

}  // namespace
}  // namespace porten::app::testing
