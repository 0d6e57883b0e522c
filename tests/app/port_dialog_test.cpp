// The start of the tool: the boot file directory, the port selection dialog,
// the flow from it to the main dialog, and how both dialogs look on a desktop
// that is not Japanese.
#include "app/boot_files.h"
#include "app/dialog_units.h"
#include "app_test_util.h"

namespace porten::app::testing {
namespace {

TEST(BootFiles, RegularMotFilesSortedWithoutRegardToCaseAndWhereTheyAreLookedFor) {
  QTemporaryDir root;
  const auto path = [&](const char* sub) { return sub[0] ? Std(root.filePath(QLatin1String(sub))) : ""; };
  for (const char* sub : {"arg", "withMot", "withMot/dir.MOT", "empty", "last"}) {
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(path(sub))));
  }
  for (const char* name : {"zeta.MOT", "Alpha.mot", "beta.Mot", "a.mot", "A.MOT", "image.mhx", "readme", "mot",
                           ".hidden.mot", "x.mot.bak"}) {
    WriteFile(path("withMot") + "/" + name, "S9030000FC\r\n");
  }
  EXPECT_EQ((Names{"A.MOT", "a.mot", "Alpha.mot", "beta.Mot", "zeta.MOT"}), ListBootFiles(path("withMot")));
  // The argument, else a current directory with boot files, else the last
  // run's directory while it exists.
  const char* cases[][4] = {{"arg", "withMot", "last", "arg"},  {"", "withMot", "last", "withMot"},
                            {"", "empty", "last", "last"},      {"", "empty", "gone", "empty"},
                            {"", "empty", "", "empty"}};
  for (const auto& c : cases) {
    EXPECT_EQ(path(c[3]), ChooseBootDir(path(c[0]), path(c[1]), path(c[2]))) << c[0] << "," << c[1] << "," << c[2];
  }
}

// OK with no port named, or with one that does not open, says why and
// stays, remembering nothing. (One that opens: the start-up.)
TEST(PortDialog, OkWithoutAPortThatOpensSaysWhyAndStays) {
  const std::string wrong = text::kWrongPort;
  const struct { const char* typed; OpenFailure failure; std::string box; } cases[] = {
      {"", OpenFailure::kNone, text::kSelectPort},
      {"  ", OpenFailure::kNone, text::kSelectPort},
      {"ttyUSB7", OpenFailure::kNotFound, wrong + kNotFoundHint},
      {"ttyUSB0", OpenFailure::kBusy, wrong + kBusyHint}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.box);
    Rig rig;
    rig.fake->FailOpens(1, c.failure);
    MessageRecorder boxes;
    CPortSelectDlg dialog(rig.session, [] { return Names{"ttyUSB0"}; }, rig.settings.get());
    Find<QComboBox>(&dialog, "IDC_PORT_LIST")->setCurrentText(QString::fromUtf8(c.typed));
    Find(&dialog, "IDOK")->click();
    EXPECT_EQ((std::vector<Message>{{c.box, text::kPortCaption}}), boxes.messages);
    EXPECT_FALSE(dialog.result() == QDialog::Accepted || rig.fake->IsOpen() || rig.settings->contains(kPortKey));
  }
}

// The last port offered while it is listed, the whole name in the tool tip;
// the box keeps its width and the drop-down shows the longest entry whole.
TEST(PortDialog, LastPortOfferedWhileListedAndLongNamesShowWhole) {
  const std::string longest = "/home/user/boards/a-rather-long-directory-name/ttySIM0";
  for (const auto& [remembered, selected] : std::vector<std::pair<std::string, std::string>>{
           {"", "ttyS0"}, {longest, longest}, {"ttyUSB3", "ttyS0"}}) {
    SCOPED_TRACE(remembered);
    Rig rig;
    if (!remembered.empty()) rig.settings->setValue(kPortKey, QString::fromStdString(remembered));
    CPortSelectDlg dialog(rig.session, [&] { return Names{"ttyS0", "ttyUSB0", longest}; }, rig.settings.get());
    auto* list = Find<QComboBox>(&dialog, "IDC_PORT_LIST");
    EXPECT_EQ(std::tuple(selected, selected, remembered == selected),  // stale ones dropped
              std::tuple(Std(list->currentText()), Std(list->lineEdit()->toolTip()), rig.settings->contains(kPortKey)));
    const int width = list->view()->fontMetrics().horizontalAdvance(QString::fromStdString(longest));
    EXPECT_TRUE(list->width() < width && width < list->view()->minimumWidth()) << list->width() << " " << width;
  }
}

// The port dialog; on OK the port opened and remembered, and the main dialog
// with the boot files of the directory argument; cancel opens nothing. The
// directory is remembered for a start without the argument.
TEST(Startup, PortDialogThenMainDialog) {
  for (const bool ok : {true, false}) {
    QTemporaryDir home;
    WriteFile(Std(home.filePath(QStringLiteral("LOADER.MOT"))), "S9030000FC\r\n");
    FakePort* fake = new FakePort;
    CDownloadApp app({.makePort = [&] { return std::unique_ptr<Port>(fake); },
                      .listPorts = [] { return Names{"ttyUSB0"}; },
                      .browse = {}, .currentDir = "/tmp", .bootDir = Std(home.path()),
                      .settingsFile = home.filePath(QStringLiteral("porten.conf"))});
    std::string seen;  // in the main dialog
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      if (modal == app.mainDialog()) {
        seen = Std(Find<QComboBox>(modal, "IDC_BOOT_FILES")->currentText()) + " " + fake->LastPath() + " " +
               std::to_string(fake->IsOpen() ? fake->Baud() : 0);
      }
      Find(modal, modal == app.mainDialog() || ok ? "IDOK" : "IDCANCEL")->click();
    });
    poll.start(10);
    EXPECT_FALSE(app.InitInstance());
    const QSettings saved(home.filePath(QStringLiteral("porten.conf")), QSettings::NativeFormat);
    EXPECT_EQ(std::tuple(ok ? "LOADER.MOT /dev/ttyUSB0 4800" : "", home.path(), ok ? "ttyUSB0" : ""),
              std::tuple(seen, saved.value(kBootDirKey).toString(), Std(saved.value(kPortKey).toString())));
  }
}

// Qt's own texts in Japanese; each caption fits its control (the text, a
// push button's margins, a check box's mark) in every Japanese font there.
TEST(Look, QtsOwnTextsAreJapaneseAndTheCaptionsFitInEveryJapaneseFont) {
  ASSERT_TRUE(InstallJapaneseTranslation());
  const QDialogButtonBox box(QDialogButtonBox::Cancel);
  EXPECT_EQ("キャンセル", Std(box.button(QDialogButtonBox::Cancel)->text()));
  const QStringList japanese = JapaneseFamilies();
  ASSERT_TRUE(japanese.contains(QLatin1String(kPreferredFamily))) << "scripts/test installs it";
  EXPECT_EQ(kPreferredFamily, PickDialogFamily(japanese));
  for (const QString& family : japanese) {
    SetDialogFamily(family);
    Rig rig;
    CPortSelectDlg portDialog(rig.session, [] { return Names{"ttyUSB0"}; });
    CDownloadDlg mainDialog(rig.session, rig.window, Std(rig.dir.path()));
    EXPECT_EQ(family, QFontInfo(mainDialog.font()).family()) << "the font is there, not substituted";
    for (QWidget* w : portDialog.findChildren<QWidget*>() + mainDialog.findChildren<QWidget*>()) {
      int need = w->fontMetrics().horizontalAdvance(w->property("text").toString() + w->property("title").toString());
      if (qobject_cast<QCheckBox*>(w)) need = w->sizeHint().width();
      else if (qobject_cast<QPushButton*>(w)) need += 2 * w->style()->pixelMetric(QStyle::PM_ButtonMargin);
      else if (!qobject_cast<QLabel*>(w) && !qobject_cast<QGroupBox*>(w)) continue;
      EXPECT_TRUE(need <= w->width() && w->fontMetrics().height() <= w->height())
          << Std(family + " " + w->objectName()) << " needs " << need << " by " << w->fontMetrics().height();
    }
  }
  SetDialogFamily({});
}

}  // namespace
}  // namespace porten::app::testing
