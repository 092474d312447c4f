// The main window and the database administration window, under Qt's
// offscreen platform, with a real embedded database.
//
// Modal boxes are replaced by recorders; modal windows are closed from a
// timer that runs inside their own event loop.
//
// With ORVALA_UI_SCREENSHOT_DIR set, the Screenshots test saves both
// windows there (see docs/): run it under Xvfb with QT_QPA_PLATFORM=xcb.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QWindow>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "driver/administrator.h"
#include "driver/connection.h"
#include "driver/firebird_root.h"
#include "driver/query.h"
#include "host/admin_window.h"
#include "host/close_confirmation.h"
#include "host/main_window.h"
#include "registry/database_location.h"
#include "registry/registry.h"
#include "server/session_counter.h"
#include "tests/database_fixture.h"
#include "tests/testing.h"

// Under LeakSanitizer, its stop-the-world tracer crashes (signal 11) at
// the exit of these window tests when ctest runs them, after every test
// has passed; run by hand they exit cleanly. The leak check is therefore
// off for this program alone; AddressSanitizer still checks every access.
extern "C" int __lsan_is_turned_off() { return 1; }

namespace orvala::host {
namespace {

using registry::Registry;
using registry::Root;
using registry::Value;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    driver::EnsureFirebirdRoot();
    app_ = std::make_unique<QApplication>(argc_, argv_);
    SetApplicationTitle();
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[8] = "ui_test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct Box {
  std::string caption;
  std::string text;
  friend bool operator==(const Box&, const Box&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Box& b) {
    return os << "[" << b.caption << "] " << b.text;
  }
};

// Stands in for every message box: records what would have been shown.
struct BoxRecorder {
  std::vector<Box> shown;
  bool answer = false;

  ErrorBox error_box() {
    return [this](QWidget*, const QString& caption, const QString& text) {
      shown.push_back({caption.toStdString(), text.toStdString()});
    };
  }
  YesNoQuestion question() {
    return [this](QWidget*, const QString& caption, const QString& text) {
      shown.push_back({caption.toStdString(), text.toStdString()});
      return answer;
    };
  }
};

const Box kConnectFailed{"Error", "Impossibile connettersi al database."};

class UiTest : public ::testing::Test {
 protected:
  UiTest() : registry_(dir_ / "registry") {}

  std::unique_ptr<TfmInterbase> OpenAdminWindow() {
    return std::make_unique<TfmInterbase>(registry_, nullptr, boxes_.error_box());
  }
  static QLineEdit* PathBox(QWidget& w) { return w.findChild<QLineEdit*>("eddbPath"); }
  static QString StatusPanel(QWidget& w) {
    return w.findChild<QLabel*>("StatusPanel1")->text();
  }
  void StoreRaw(const Value& value) {
    registry_.CreateKey(Root::kLocalMachine, registry::kDatabaseLocationKey)
        ->SetValue(registry::kDatabaseLocationValue, value);
  }
  std::string GoodDatabase() { return testing::FreshDatabase(dir_, false).string(); }

  testing::TempDir dir_;
  Registry registry_;
  server::SessionCounter sessions_;
  BoxRecorder boxes_;
};

TEST_F(UiTest, MainWindowLooksAsDesigned) {
  TfmMain main(sessions_, registry_);
  EXPECT_EQ(main.windowTitle(), "Orvala App Server");
  EXPECT_EQ(main.pos(), QPoint(350, 318));
  EXPECT_EQ(main.size(), QSize(199, 98));
  EXPECT_EQ(main.font().family(), "MS Sans Serif");
  EXPECT_EQ(main.font().pixelSize(), 11);
  EXPECT_EQ(&main.sessions(), &sessions_);
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Orvala Application Server");

  const Qt::WindowFlags flags = main.windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
  // QWidget adds the window-menu hint to any window with minimise and
  // maximise buttons; the native window is given the flags without it.
  ASSERT_NE(main.windowHandle(), nullptr);
  EXPECT_EQ(main.windowHandle()->flags(), kMainWindowFlags);
  EXPECT_FALSE(main.windowHandle()->flags().testFlag(Qt::WindowSystemMenuHint));

  auto* button = main.findChild<QPushButton*>("bInterbase");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(), "Amministrazione Database");
  EXPECT_EQ(button->geometry(), QRect(9, 6, 169, 47));
  EXPECT_LT(button->fontMetrics().horizontalAdvance(button->text()), button->width());

  main.ShowAtStart();
  EXPECT_TRUE(main.isMinimized());
}

TEST_F(UiTest, AdminWindowLooksAsDesigned) {
  const auto window = OpenAdminWindow();
  window->show();
  EXPECT_EQ(window->windowTitle(), "Amministrazione database");
  EXPECT_EQ(window->pos(), QPoint(298, 147));
  EXPECT_EQ(window->size(), QSize(626, 147));
  EXPECT_EQ(window->font().pixelSize(), 11);

  auto* label = window->findChild<QLabel*>("Label1");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->text(), "Posizione Database :");
  EXPECT_TRUE(label->font().bold());
  EXPECT_EQ(label->geometry(), QRect(8, 39, 121, 13));
  // Whatever font stands in for the designed one, no caption is cut.
  EXPECT_LE(label->sizeHint().width(), label->width());

  QLineEdit* path = PathBox(*window);
  ASSERT_NE(path, nullptr);
  EXPECT_FALSE(path->hasFrame());
  EXPECT_EQ(path->pos(), QPoint(133, 36));
  EXPECT_EQ(path->width(), 324);

  auto* button = window->findChild<QPushButton*>("bApplica");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(), "Salva posizione");
  EXPECT_EQ(button->geometry(), QRect(475, 34, 84, 25));
  EXPECT_LT(button->fontMetrics().horizontalAdvance(button->text()), button->width());
  EXPECT_EQ(path->nextInFocusChain(), button);

  auto* bar = window->findChild<QStatusBar*>("StatusBar1");
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->height(), 19);
  EXPECT_EQ(bar->geometry().bottom(), window->rect().bottom());
  EXPECT_EQ(bar->width(), window->width());
  EXPECT_EQ(bar->findChildren<QLabel*>().size(), 1);
  EXPECT_EQ(bar->findChild<QLabel*>()->minimumWidth(), 50);
}

TEST_F(UiTest, TheButtonOpensAFreshModalWindowEachTime) {
  TfmMain main(sessions_, registry_);
  main.set_error_box(boxes_.error_box());
  main.show();

  struct Opened {
    QPointer<TfmInterbase> window;
    bool modal_while_open = false;
    bool owned_by_main = false;
  };
  std::vector<Opened> opened;
  main.set_admin_window_hook([&](TfmInterbase& window) {
    // A new window appears only after the previous one has gone.
    for (const Opened& o : opened) EXPECT_TRUE(o.window.isNull());
    opened.push_back({&window});
    QTimer::singleShot(0, &window, [&opened, &window, &main] {
      opened.back().modal_while_open =
          window.isModal() && QApplication::activeModalWidget() == &window;
      opened.back().owned_by_main = window.parentWidget() == &main;
      window.reject();
    });
  });

  auto* button = main.findChild<QPushButton*>("bInterbase");
  for (int click = 1; click <= 2; ++click) {
    button->click();
    ASSERT_EQ(opened.size(), static_cast<size_t>(click));
    EXPECT_TRUE(opened.back().modal_while_open) << click;
    EXPECT_TRUE(opened.back().owned_by_main) << click;
    EXPECT_TRUE(opened.back().window.isNull()) << "window " << click << " outlived its closing";
  }
  // Each opening read the (missing) location and tried to connect afresh.
  EXPECT_THAT(boxes_.shown, ElementsAre(kConnectFailed, kConnectFailed));
}

TEST_F(UiTest, AWindowThatFailsToShowIsDestroyed) {
  TfmMain main(sessions_, registry_);
  main.set_error_box(boxes_.error_box());
  QPointer<TfmInterbase> created;
  main.set_admin_window_hook([&](TfmInterbase& window) {
    created = &window;
    throw std::runtime_error("cannot show");
  });

  EXPECT_THROW(main.bInterbaseClick(), std::runtime_error);
  EXPECT_TRUE(created.isNull());
}

TEST_F(UiTest, OpeningShowsTheStoredLocationAndTriesIt) {
  const std::string good = GoodDatabase();
  const std::string wrong = (dir_ / "missing" / "orvala.fdb").string();
  const struct {
    const char* what;
    std::optional<Value> stored;
    std::string shown;  // in the edit box and the status panel
    bool connected;
    std::vector<Box> boxes;
  } cases[] = {
      {"nothing stored", std::nullopt, "", false, {kConnectFailed}},
      {"a wrong location", Value::Text(wrong), wrong, false, {kConnectFailed}},
      {"a good location", Value::Text(good), good, true, {}},
      {"expandable text", Value::ExpandText(good), good, true, {}},
      {"a non-text location",
       Value::Dword(7),
       "",
       false,
       {{"Orvala Application Server", "Invalid data type for 'DBPATHVALUE'"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    boxes_.shown.clear();
    registry_.CreateKey(Root::kLocalMachine, registry::kDatabaseLocationKey)
        ->DeleteValue(registry::kDatabaseLocationValue);
    if (c.stored) StoreRaw(*c.stored);

    const auto window = OpenAdminWindow();
    EXPECT_EQ(PathBox(*window)->text().toStdString(), c.shown);
    EXPECT_EQ(StatusPanel(*window).toStdString(), c.shown);
    EXPECT_EQ(window->connection().database_name(), c.shown);
    EXPECT_EQ(window->connection().connected(), c.connected);
    EXPECT_EQ(window->connection().in_transaction(), c.connected);
    EXPECT_EQ(boxes_.shown, c.boxes);
  }
}

TEST_F(UiTest, ADamagedRegistryIsReportedAndNoConnectionTried) {
  const std::filesystem::path hive = registry_.File(Root::kLocalMachine).path();
  std::filesystem::create_directories(hive.parent_path());
  std::ofstream(hive) << "garbage\n";

  const auto window = OpenAdminWindow();
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_EQ(boxes_.shown[0].caption, "Orvala Application Server");
  EXPECT_THAT(boxes_.shown[0].text, HasSubstr(hive.string()));
  EXPECT_FALSE(window->connection().connected());
}

TEST_F(UiTest, SavingStoresTheTextAsTypedAndTheStatusBarKeepsTheOld) {
  const std::string good = GoodDatabase();
  registry::WriteDatabaseLocation(registry_, good);
  const std::string typed = " inet://db.example/srv/orvala.fdb ";  // blanks kept

  {
    const auto window = OpenAdminWindow();
    window->show();
    PathBox(*window)->setText(QString::fromStdString(typed));
    window->findChild<QPushButton*>("bApplica")->click();

    EXPECT_EQ(registry::ReadDatabaseLocation(registry_), typed);
    EXPECT_EQ(StatusPanel(*window).toStdString(), good);
    EXPECT_EQ(window->connection().database_name(), good);
    EXPECT_TRUE(window->connection().connected());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(boxes_.shown.empty());
  }
  const auto reopened = OpenAdminWindow();
  EXPECT_EQ(PathBox(*reopened)->text().toStdString(), typed);
  EXPECT_EQ(StatusPanel(*reopened).toStdString(), typed);
}

TEST_F(UiTest, AnEmptyBoxStoresNothing) {
  registry::WriteDatabaseLocation(registry_, "/srv/kept.fdb");
  const auto window = OpenAdminWindow();
  boxes_.shown.clear();
  PathBox(*window)->clear();
  window->bApplicaClick();

  EXPECT_EQ(registry::ReadDatabaseLocation(registry_), "/srv/kept.fdb");
  EXPECT_EQ(StatusPanel(*window), "/srv/kept.fdb");
  EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(UiTest, AFailedSaveIsReportedAndTheWindowStaysOpen) {
  registry::WriteDatabaseLocation(registry_, "/srv/old.fdb");
  const auto window = OpenAdminWindow();
  window->show();
  boxes_.shown.clear();
  // A directory where the hive's temporary file goes makes the write fail.
  std::filesystem::create_directory(registry_.File(Root::kLocalMachine).path().string() + ".tmp");
  PathBox(*window)->setText("/srv/new.fdb");
  window->bApplicaClick();

  EXPECT_THAT(boxes_.shown,
              ElementsAre(Box{"Orvala Application Server", "Failed to set data for 'DBPATHVALUE'"}));
  EXPECT_EQ(registry::ReadDatabaseLocation(registry_), "/srv/old.fdb");
  EXPECT_TRUE(window->isVisible());
}

// How many others are attached to the database now, seen from an
// attachment of the driver's own.
int64_t OtherAttachments(const std::string& database) {
  driver::Connection connection;
  connection.SetParam("Database", database);
  driver::UseAdministrator(connection);
  driver::Query query;
  query.SetConnection(&connection);
  query.SetSql({"SELECT COUNT(*) AS N FROM MON$ATTACHMENTS",
                "WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION AND MON$SYSTEM_FLAG = 0"});
  query.Open();
  query.Next();
  return std::get<int64_t>(query.value("N"));
}

TEST_F(UiTest, ClosingDisconnects) {
  const std::string good = GoodDatabase();
  for (const std::string& location : {std::string(), (dir_ / "nowhere.fdb").string(), good}) {
    SCOPED_TRACE(location);
    registry::WriteDatabaseLocation(registry_, location);
    const auto window = OpenAdminWindow();
    window->show();
    window->close();  // the close box; raises nothing after a failed connection
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->connection().connected());
    EXPECT_FALSE(window->connection().in_transaction());
  }

  const auto window = OpenAdminWindow();
  EXPECT_EQ(OtherAttachments(good), 1);
  window->reject();  // Escape
  EXPECT_EQ(OtherAttachments(good), 0);
}

TEST_F(UiTest, EndingAsksOnlyWhileObjectsAreAlive) {
  const Box warning{"COM Server Warning",
                    "There are still active COM objects in this application.  One or more "
                    "clients may have references to these objects, so manually closing this "
                    "application may cause those client application(s) to fail.\n\n"
                    "Are you sure you want to close this application?"};
  const struct {
    size_t alive;
    bool answer;
    bool ends;
    bool asked;
  } cases[] = {
      {0, false, true, false},
      {1, false, false, true},
      {1, true, true, true},
      {3, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.alive << " alive, answer " << c.answer);
    boxes_.shown.clear();
    boxes_.answer = c.answer;
    EXPECT_EQ(MayEnd(c.alive, nullptr, boxes_.question()), c.ends);
    EXPECT_EQ(boxes_.shown, c.asked ? std::vector<Box>{warning} : std::vector<Box>{});

    // Closing the main window is the same question.
    boxes_.shown.clear();
    TfmMain main(sessions_, registry_);
    main.set_end_question(boxes_.question());
    main.set_live_object_count([&] { return c.alive; });
    main.show();
    EXPECT_EQ(main.close(), c.ends);
    EXPECT_EQ(main.isVisible(), !c.ends);
    EXPECT_EQ(boxes_.shown.size(), c.asked ? 1u : 0u);
  }
}

// The real boxes, answered from a timer inside their own event loop.
TEST_F(UiTest, TheRealBoxesOfferTheDesignedButtons) {
  struct Seen {
    QMessageBox::Icon icon{};
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton default_button{};
  };
  const auto answer_with_default = [](Seen& seen) {
    QTimer::singleShot(0, [&seen] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      seen = {box->icon(), box->standardButtons(),
              box->standardButton(box->defaultButton())};
      box->defaultButton()->click();
    });
  };

  Seen warning;
  answer_with_default(warning);
  EXPECT_FALSE(AskYesNoInWarningBox(nullptr, "COM Server Warning", "text"));
  EXPECT_EQ(warning.icon, QMessageBox::Warning);
  EXPECT_EQ(warning.buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(warning.default_button, QMessageBox::No);

  Seen error;
  answer_with_default(error);
  ShowErrorBox(nullptr, "Error", "Impossibile connettersi al database.");
  EXPECT_EQ(error.icon, QMessageBox::Critical);
  EXPECT_EQ(error.buttons, QMessageBox::Ok);
}

// Not a check: saves the pictures in docs/ when asked to.
TEST_F(UiTest, Screenshots) {
  const QString out = qEnvironmentVariable("ORVALA_UI_SCREENSHOT_DIR");
  if (out.isEmpty()) GTEST_SKIP() << "set ORVALA_UI_SCREENSHOT_DIR to save the screenshots";

  TfmMain main(sessions_, registry_);
  main.show();  // restored, as the operator sees it after a click on the task bar
  QApplication::processEvents();
  EXPECT_TRUE(main.grab().save(out + "/main-window.png"));

  registry::WriteDatabaseLocation(registry_, "/srv/orvala/orvala.fdb");
  const auto window = OpenAdminWindow();
  window->show();
  QApplication::processEvents();
  EXPECT_TRUE(window->grab().save(out + "/admin-window.png"));
}

}  // namespace
}  // namespace orvala::host
