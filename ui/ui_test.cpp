// The window driven through its real widgets on the offscreen platform, with
// real conversions in temporary folders. Message boxes, the beep and the
// default viewer are recorded instead of shown.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/work_folder.h"
#include "shell/settings_file.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "ui/convert_page.h"
#include "ui/main_window.h"
#include "ui/options_page.h"
#include "ui/settings_page.h"

namespace tarnwick::ui {
namespace {

using testing::Ccitt;
using testing::TempDir;

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context_.options = std::make_shared<shell::SharedOptions>();
    context_.settingsPath = home_.file("tarnwick.ini");
    context_.logPath = home_.file("log/qrvlog.txt");
    context_.workFolder = home_.path();
    context_.desktop.message = [this](QMessageBox::Icon, const QString& caption,
                                      const QString& text) {
      messages_.push_back((caption + ": " + text).toStdString());
    };
    context_.desktop.beep = [this] { ++beeps_; };
    context_.desktop.openUrl = [this](const QUrl& url) {
      opened_.push_back(url.toLocalFile().toStdString());
      return true;
    };
    context_.desktop.about = [this](const QString&, const QString& text) {
      about_ = text.toStdString();
    };
  }
  void TearDown() override {
    if (window_) window_->close();
  }

  MainWindow& open() {
    window_ = std::make_unique<MainWindow>(context_);
    window_->show();
    return *window_;
  }
  template <typename T>
  T* find(const char* name) const {
    T* widget = window_->findChild<T*>(name);
    EXPECT_TRUE(widget) << name;
    return widget;
  }
  std::string text(const char* name) const { return find<QLineEdit>(name)->text().toStdString(); }
  void setText(const char* name, const std::string& value) {
    find<QLineEdit>(name)->setText(QString::fromStdString(value));
  }
  void click(const char* name) { find<QAbstractButton>(name)->click(); }
  bool waitIdle(int ms = 30000) {
    return QTest::qWaitFor([this] { return !window_->convertPage()->running(); }, ms);
  }
  std::vector<std::string> column(int index) const {
    std::vector<std::string> out;
    const QTreeWidget* list = find<QTreeWidget>("list");
    for (int row = 0; row < list->topLevelItemCount(); ++row)
      out.push_back(list->topLevelItem(row)->text(index).toStdString());
    return out;
  }
  std::string status() const { return find<QLabel>("status")->text().toStdString(); }

  // A source folder holding one TIFF, one fax and a file that is no fax.
  void makeThreeFiles() {
    page_ = testing::makeTextPage(1728, 150, 3);
    std::filesystem::create_directories(data_.file("in"));
    ASSERT_TRUE(testing::writeTiff(data_.file("in/a.tif"), {testing::tiffPage(page_, Ccitt::kT6)}));
    ASSERT_TRUE(
        testing::writeTiff(data_.file("in/b.fmf"), {testing::tiffPage(page_, Ccitt::kT4TwoD)}));
    ASSERT_TRUE(testing::writeFileBytes(data_.file("in/c.fxs"), std::vector<uint8_t>(200, 7)));
    setText("source", data_.file("in"));
    setText("save", data_.file("out"));
  }

  TempDir home_, data_;
  WindowContext context_;
  std::unique_ptr<MainWindow> window_;
  std::vector<std::string> messages_;
  std::vector<std::string> opened_;
  int beeps_ = 0;
  std::string about_;
  testing::Bitmap page_;
};

TEST_F(WindowTest, FirstStartShowsTheDefaultsAndClosingWritesEveryKey) {
  MainWindow& window = open();
  EXPECT_EQ("Tarnwick", window.windowTitle().toStdString());
  const QTabWidget* tabs = window.tabs();
  ASSERT_EQ(3, tabs->count());
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(tabs->tabIcon(i).isNull());
  EXPECT_EQ("Settings", tabs->tabText(2).toStdString());
  EXPECT_EQ("", text("source"));
  EXPECT_EQ("", text("save"));
  EXPECT_EQ("", text("backup"));
  EXPECT_EQ("*.*", text("filter"));
  EXPECT_EQ("It's a GOOD idea to backup your fax files, and NEVER delete them", status());
  EXPECT_FALSE(find<QPushButton>("cancel")->isEnabled());
  EXPECT_TRUE(find<QCheckBox>("keepExt")->isChecked());
  EXPECT_TRUE(find<QRadioButton>("folderMode")->isChecked());
  EXPECT_EQ("60", text("minutes"));
  EXPECT_EQ(0, find<QComboBox>("outputMode")->currentIndex());
  EXPECT_TRUE(find<QRadioButton>("bitOrder0")->isChecked());
  EXPECT_EQ(0, find<QComboBox>("resolution")->currentIndex());
  EXPECT_EQ("50", text("threshold"));
  EXPECT_TRUE(find<QLineEdit>("minWidth")->isEnabled());
  EXPECT_FALSE(window.convertPage()->autoTimer().isActive());

  setText("source", "/srv/My Faxes");
  window.close();
  EXPECT_EQ(
      "[Main]\nFaxDir=/srv/My Faxes\nSaveDir=\nBakDir=\n"
      "[Options]\nDirFile=0\nSubdir=0\nHiberarchy=0\nKeepDate=0\nKeepExt=1\nCyclely=0\n"
      "CycleMinutes=60\nConvertFlag=0\n"
      "[Settings]\nAutoBit=0\nNStdWidth=1\nMinWidth=1728\nThreshold=50\nFlagNum=3\n"
      "RawFlag=0\nRecaculate=0\n",
      testing::readText(context_.settingsPath));
}

TEST_F(WindowTest, StoredChoicesComeBackAndArmTheTimer) {
  ASSERT_TRUE(testing::writeFileBytes(context_.settingsPath, [] {
    const std::string text =
        "; mine\n[main]\nfaxdir=/in a.g3 b.g3\n[Options]\nDirFile=1\nCyclely=1\n"
        "CycleMinutes=5\nConvertFlag=2\n[Settings]\nNStdWidth=0\n";
    return std::vector<uint8_t>(text.begin(), text.end());
  }()));
  ConversionOptions fromCommandLine;
  fromCommandLine.AutoBit = 2;  // a refused "/b=2"
  context_.options->set(fromCommandLine);
  open();
  EXPECT_EQ("/in a.g3 b.g3", text("source"));
  EXPECT_TRUE(find<QRadioButton>("fileMode")->isChecked());
  EXPECT_FALSE(find<QCheckBox>("subdir")->isEnabled());
  EXPECT_TRUE(window_->convertPage()->autoTimer().isActive());
  EXPECT_EQ(5 * 60000, window_->convertPage()->autoTimer().interval());
  EXPECT_TRUE(find<QRadioButton>("bitOrder2")->isChecked());
  EXPECT_FALSE(find<QLineEdit>("minWidth")->isEnabled());
  EXPECT_EQ(2, context_.options->get().ConvertFlag);  // no entry of its own, yet kept
  EXPECT_TRUE(window_->convertPage()->switches().fileMode);
  window_->close();
  shell::ProfileFile saved;
  ASSERT_EQ(0, saved.load(context_.settingsPath));
  EXPECT_EQ(2, saved.readInt("Options", "ConvertFlag", -1));
  EXPECT_EQ(2, saved.readInt("Settings", "AutoBit", -1));
  EXPECT_EQ("; mine", saved.text().substr(0, 6));
}

TEST_F(WindowTest, GoWithoutFoldersWarnsAndStartsNothing) {
  open();
  click("go");
  setText("source", data_.path());
  click("go");
  EXPECT_EQ((std::vector<std::string>{
                "Warning: Select Source Dir,\nwhere your fax files to be converted should be",
                "Warning: Select Save Dir,\nwhere your converted tif files should be"}),
            messages_);
  EXPECT_FALSE(window_->convertPage()->running());
  window_->convertPage()->autoRun();  // the timer says nothing
  EXPECT_EQ(2u, messages_.size());
}

TEST_F(WindowTest, FolderRunShowsEachResultAndOpensTheConvertedFile) {
  open();
  makeThreeFiles();
  click("go");
  EXPECT_FALSE(find<QPushButton>("go")->isEnabled());
  ASSERT_TRUE(waitIdle());
  EXPECT_EQ((std::vector<std::string>{"Need no converting!", "Converted!", "Not FAX!"}), column(2));
  // The source extension is kept by default.
  EXPECT_EQ((std::vector<std::string>{"", data_.file("out/b.fmf.tif"), ""}), column(1));
  EXPECT_EQ("Done. 1 FAX files converted", status());
  EXPECT_TRUE(find<QPushButton>("go")->isEnabled());
  EXPECT_FALSE(find<QPushButton>("cancel")->isEnabled());
  const std::vector<testing::Bitmap> pages = testing::readTiffPages(data_.file("out/b.fmf.tif"));
  ASSERT_EQ(1u, pages.size());
  EXPECT_TRUE(pages[0] == page_);
  EXPECT_NE(std::string::npos, testing::readText(context_.logPath).find("GUI mode"));

  QTreeWidget* list = find<QTreeWidget>("list");
  for (int row : {1, 2}) emit list->itemDoubleClicked(list->topLevelItem(row), 0);
  EXPECT_EQ(std::vector<std::string>{data_.file("out/b.fmf.tif")}, opened_);
}

TEST_F(WindowTest, FileModeRunsThePickedFilesOfOneFolder) {
  open();
  makeThreeFiles();
  window_->tabs()->setCurrentIndex(1);
  click("fileMode");
  window_->tabs()->setCurrentIndex(0);
  setText("source", data_.file("in") + " c.fxs b.fmf");
  click("go");
  ASSERT_TRUE(waitIdle());
  EXPECT_EQ((std::vector<std::string>{data_.file("in/c.fxs"), data_.file("in/b.fmf")}), column(0));
  EXPECT_EQ((std::vector<std::string>{"Not FAX!", "Converted!"}), column(2));
}

TEST_F(WindowTest, HelpOpensTheManualAndAboutNamesVersionAndLicence) {
  context_.helpPath = home_.file("README.md");
  ASSERT_TRUE(testing::writeFileBytes(context_.helpPath, {'#'}));
  open();
  click("help");
  EXPECT_EQ(std::vector<std::string>{context_.helpPath}, opened_);
  click("about");
  EXPECT_NE(std::string::npos, about_.find("Tarnwick</b> 0."));
  EXPECT_NE(std::string::npos, about_.find("Licence: "));
}

TEST_F(WindowTest, TimerRunSkipsExistingOutputsWhileGoConvertsThemAgain) {
  open();
  makeThreeFiles();
  click("go");
  ASSERT_TRUE(waitIdle());
  window_->convertPage()->autoRun();
  ASSERT_TRUE(waitIdle());
  EXPECT_EQ("Already exist, skipped!", column(2)[1]);
  EXPECT_EQ("Done. 0 FAX files converted", status());
  click("go");
  ASSERT_TRUE(waitIdle());
  EXPECT_EQ("Converted!", column(2)[1]);
}

// A run over many files, each taking a while.
class SlowRunTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    std::filesystem::create_directories(data_.file("in"));
    for (int i = 0; i < 40; ++i)
      ASSERT_TRUE(
          testing::writeFileBytes(data_.file("in/f" + std::to_string(100 + i) + ".g3"), {1}));
    context_.convert = [this](BatchJob&, const ConversionOptions& options, const std::string&,
                              const std::string&) {
      {
        const std::lock_guard lock(workFilesMutex_);
        workFiles_.push_back(options.intermediateFile);
      }
      for (int waited = 0; hold_ && waited < 100; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      return 0;
    };
  }
  void start() {
    setText("source", data_.file("in"));
    setText("save", data_.file("out"));
    click("go");
    ASSERT_TRUE(QTest::qWaitFor([this] { return !column(0).empty(); }, 10000));
  }
  std::atomic<bool> hold_{false};
  std::mutex workFilesMutex_;
  std::vector<std::string> workFiles_;  // written by the runs' workers
};

TEST_F(SlowRunTest, GoDuringARunWarnsAndCancelRestoresTheControls) {
  open();
  start();
  // The button is disabled while a run goes on; its command is not.
  EXPECT_FALSE(find<QPushButton>("go")->isEnabled());
  window_->convertPage()->go();
  EXPECT_EQ(std::vector<std::string>{"Warning: Please wait while running conversion stops"},
            messages_);
  click("cancel");
  ASSERT_TRUE(waitIdle(5000));
  EXPECT_LT(column(0).size(), 40u);
  EXPECT_EQ("Cancelled", status().substr(0, 9));
  for (const char* name : {"go", "sourcePick", "savePick", "backupPick"})
    EXPECT_TRUE(find<QPushButton>(name)->isEnabled()) << name;
  EXPECT_TRUE(find<QLineEdit>("source")->isEnabled());
  EXPECT_FALSE(find<QPushButton>("cancel")->isEnabled());
  click("go");
  EXPECT_TRUE(window_->convertPage()->running());
  ASSERT_TRUE(waitIdle());
  EXPECT_EQ(40u, column(2).size());
  EXPECT_EQ("Done. 40 FAX files converted", status());
}

TEST_F(SlowRunTest, ClosingDuringARunStopsItAndLogsWhatWasDone) {
  open();
  start();
  window_->close();
  EXPECT_TRUE(window_->convertPage()->stopAll(0)) << "the run outlived the close";
  const std::string log = testing::readText(context_.logPath);
  EXPECT_NE(std::string::npos, log.find("GUI mode : convert folder"));
  EXPECT_NE(std::string::npos, log.find(" of 40 files not converted\r\n"));
}

TEST_F(SlowRunTest, ARunThatOverstaysItsCancelIsLeftBehind) {
  context_.stopGraceMs = 200;
  hold_ = true;
  open();
  start();
  click("cancel");
  ASSERT_TRUE(waitIdle(3000));
  EXPECT_EQ("Cancelled", status());
  click("go");
  EXPECT_TRUE(window_->convertPage()->running());
  hold_ = false;
  ASSERT_TRUE(waitIdle());
  // Only the new run's rows; it used work files of its own.
  EXPECT_EQ(40u, column(2).size());
  EXPECT_EQ("Done. 40 FAX files converted", status());
  EXPECT_TRUE(window_->convertPage()->stopAll(5000));
  const std::lock_guard lock(workFilesMutex_);
  EXPECT_NE(workFiles_.front(), workFiles_.back());
}

TEST_F(WindowTest, NumberBoxesKeepTheLowBitsAndStopReadingAtTheFirstBadOne) {
  open();
  setText("flagNum", "300");
  window_->tabs()->setCurrentIndex(2);
  window_->tabs()->setCurrentIndex(0);
  EXPECT_EQ(44, context_.options->get().FlagNum);
  EXPECT_EQ(0, beeps_);

  window_->tabs()->setCurrentIndex(2);
  setText("threshold", "");
  setText("flagNum", "7");
  find<QCheckBox>("rawFlag")->setChecked(true);
  QTest::keyClick(find<QLineEdit>("threshold"), Qt::Key_Return);
  EXPECT_EQ(1, beeps_);
  EXPECT_EQ(find<QLineEdit>("threshold"), window_->settingsPage()->focusWidget());
  const ConversionOptions applied = context_.options->get();
  EXPECT_EQ(0, applied.Threshold);
  EXPECT_EQ(44, applied.FlagNum);
  EXPECT_EQ(0, applied.RawFlag);

  setText("threshold", "70000");
  window_->close();
  shell::ProfileFile saved;
  ASSERT_EQ(0, saved.load(context_.settingsPath));
  EXPECT_EQ(70000, saved.readInt("Settings", "Threshold", -1));
  EXPECT_EQ(7, saved.readInt("Settings", "FlagNum", -1));
  EXPECT_EQ(1, saved.readInt("Settings", "RawFlag", -1));
}

TEST_F(WindowTest, ConvertFilesUnchecksTheFolderChoicesAndStopsTheTimer) {
  open();
  window_->tabs()->setCurrentIndex(1);
  find<QCheckBox>("subdir")->setChecked(true);
  find<QCheckBox>("hiberarchy")->setChecked(true);
  setText("minutes", "5");
  click("cyclely");
  const QTimer& timer = window_->convertPage()->autoTimer();
  EXPECT_TRUE(timer.isActive());
  EXPECT_EQ(5 * 60000, timer.interval());
  EXPECT_FALSE(find<QLineEdit>("minutes")->isEnabled());

  click("fileMode");
  for (const char* name : {"subdir", "hiberarchy", "cyclely"}) {
    EXPECT_FALSE(find<QCheckBox>(name)->isChecked()) << name;
    EXPECT_FALSE(find<QCheckBox>(name)->isEnabled()) << name;
  }
  EXPECT_FALSE(timer.isActive());
  EXPECT_TRUE(find<QLineEdit>("minutes")->isEnabled());
  window_->tabs()->setCurrentIndex(0);
  EXPECT_TRUE(window_->convertPage()->switches().fileMode);
  EXPECT_FALSE(window_->convertPage()->switches().includeSubfolders);

  window_->tabs()->setCurrentIndex(1);
  click("folderMode");
  EXPECT_TRUE(find<QCheckBox>("subdir")->isEnabled());
}

TEST_F(WindowTest, MinWidthFollowsTheNonStandardWidthBox) {
  open();
  click("nStdWidth");
  EXPECT_FALSE(find<QLineEdit>("minWidth")->isEnabled());
  click("nStdWidth");
  EXPECT_TRUE(find<QLineEdit>("minWidth")->isEnabled());
}

TEST_F(WindowTest, TrayOpenShowsTheHiddenWindow) {
  open();
  window_->hide();
  window_->trayOpenAction()->trigger();
  EXPECT_TRUE(window_->isVisible());
  window_->showMinimized();
  window_->trayOpenAction()->trigger();
  EXPECT_FALSE(window_->isMinimized());
}

}  // namespace
}  // namespace tarnwick::ui

// The application lives on main's stack: a static one would outlive parts
// of Qt it still uses when the process ends.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
