// The windows as an X11 window manager and task bar see them: the native
// windows' captions, class and frame hints, read back from a real X server
// (Xvfb, started for this test on a Unix socket only) with xprop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <QtTest/QTest>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "driver/firebird_root.h"
#include "host/admin_window.h"
#include "host/close_confirmation.h"
#include "host/main_window.h"
#include "registry/registry.h"
#include "server/session_counter.h"
#include "tests/testing.h"

namespace orvala::host {
namespace {

// Xvfb on a display number of its own choosing, reachable only through its
// Unix socket, and the application on it.
class XServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    server_ = fork();
    if (server_ == 0) {
      close(fds[0]);
      if (FILE* null = std::fopen("/dev/null", "w")) dup2(fileno(null), STDERR_FILENO);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
             "1024x768x24", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // Xvfb writes its display number once it accepts connections.
    std::string display;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') display += c;
    close(fds[0]);
    ASSERT_FALSE(display.empty()) << "Xvfb did not start (scripts/install-deps installs it)";
    setenv("DISPLAY", (":" + display).c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    driver::EnsureFirebirdRoot();
    app_ = std::make_unique<QApplication>(argc_, argv_);
    SetApplicationTitle();
  }
  void TearDown() override {
    app_.reset();
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
  }

 private:
  pid_t server_ = -1;
  int argc_ = 1;
  char name_[16] = "orvala-server";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kXServer =
    ::testing::AddGlobalTestEnvironment(new XServerEnvironment);

// A property of a native window as xprop prints it after "NAME = ", or ""
// when the window lacks it.
std::string XProperty(const QWidget& window, const char* name) {
  const std::string command =
      "xprop -id " + std::to_string(window.winId()) + " -notype " + name + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "";
  std::string out;
  char buffer[512];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  const std::string prefix = std::string(name) + " = ";
  if (!out.starts_with(prefix)) return "";
  out.erase(0, prefix.size());
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// What the window manager reads as the caption, in both of its forms.
struct Caption {
  std::string wm_name;
  std::string net_wm_name;
  friend bool operator==(const Caption&, const Caption&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Caption& c) {
    return os << "WM_NAME " << c.wm_name << ", _NET_WM_NAME " << c.net_wm_name;
  }
};

Caption CaptionOf(QWidget& window) {
  EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
  return {XProperty(window, "WM_NAME"), XProperty(window, "_NET_WM_NAME")};
}

Caption Designed(const char* caption) { return {Quoted(caption), Quoted(caption)}; }

// The Motif hints through which X11 window managers learn which buttons
// and functions a frame offers.
struct MotifHints {
  unsigned long flags = 0, functions = 0, decorations = 0;
  static constexpr unsigned long kHasFunctions = 1, kHasDecorations = 2;
  static constexpr unsigned long kFunctionAll = 1, kFunctionMinimize = 8, kFunctionMaximize = 16,
                                 kFunctionClose = 32;
  static constexpr unsigned long kDecorationMenu = 16, kDecorationMinimize = 32,
                                 kDecorationMaximize = 64, kDecorationTitle = 8;
};

MotifHints MotifHintsOf(const QWidget& window) {
  const std::string text = XProperty(window, "_MOTIF_WM_HINTS");  // "0x3, 0x1e, 0x6e, 0x0, 0x0"
  MotifHints hints;
  char* end = nullptr;
  const char* p = text.c_str();
  unsigned long* fields[] = {&hints.flags, &hints.functions, &hints.decorations};
  for (unsigned long* field : fields) {
    *field = std::strtoul(p, &end, 0);
    if (end == p) {
      ADD_FAILURE() << "unreadable _MOTIF_WM_HINTS: " << text;
      break;
    }
    p = *end == ',' ? end + 1 : end;
  }
  return hints;
}

class UiX11Test : public ::testing::Test {
 protected:
  UiX11Test() : registry_(dir_ / "registry") {}

  std::unique_ptr<TfmInterbase> AdminWindow() {
    return std::make_unique<TfmInterbase>(registry_, nullptr,
                                          [](QWidget*, const QString&, const QString&) {});
  }

  testing::TempDir dir_;
  registry::Registry registry_;
  server::SessionCounter sessions_;
};

TEST_F(UiX11Test, CaptionsReadExactlyAsDesigned) {
  TfmMain main(sessions_, registry_);
  main.show();
  EXPECT_EQ(CaptionOf(main), Designed("Orvala App Server"));

  const auto admin = AdminWindow();
  admin->show();
  EXPECT_EQ(CaptionOf(*admin), Designed("Amministrazione database"));

  // The boxes, read while they are open inside their own event loop.
  Caption warning, error;
  const auto read_and_close = [](Caption& seen) {
    QTimer::singleShot(0, [&seen] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      seen = CaptionOf(*box);
      box->defaultButton()->click();
    });
  };
  read_and_close(warning);
  AskYesNoInWarningBox(&main, QString::fromLatin1(kEndWarningCaption),
                       QString::fromLatin1(kEndWarningText));
  EXPECT_EQ(warning, Designed("COM Server Warning"));
  read_and_close(error);
  ShowErrorBox(admin.get(), QString::fromLatin1(TfmInterbase::kConnectFailedCaption),
               QString::fromUtf8(TfmInterbase::kConnectFailedText));
  EXPECT_EQ(error, Designed("Error"));
}

TEST_F(UiX11Test, TheTaskBarKnowsTheApplicationByItsTitle) {
  TfmMain main(sessions_, registry_);
  main.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
  // Instance name, then class: the class is the application title.
  EXPECT_EQ(XProperty(main, "WM_CLASS"), "\"orvala-server\", \"Orvala Application Server\"");
}

TEST_F(UiX11Test, TheMainWindowOffersNeitherCloseBoxNorWindowMenu) {
  TfmMain main(sessions_, registry_);
  main.ShowAtStart();
  QCoreApplication::processEvents();
  const MotifHints hints = MotifHintsOf(main);
  ASSERT_TRUE(hints.flags & MotifHints::kHasFunctions)
      << "without a list of functions the window manager offers them all, closing included";
  EXPECT_FALSE(hints.functions & MotifHints::kFunctionAll);
  EXPECT_FALSE(hints.functions & MotifHints::kFunctionClose);
  EXPECT_TRUE(hints.functions & MotifHints::kFunctionMinimize);
  EXPECT_TRUE(hints.functions & MotifHints::kFunctionMaximize);
  ASSERT_TRUE(hints.flags & MotifHints::kHasDecorations);
  EXPECT_FALSE(hints.decorations & MotifHints::kDecorationMenu);
  EXPECT_TRUE(hints.decorations & MotifHints::kDecorationTitle);
  EXPECT_TRUE(hints.decorations & MotifHints::kDecorationMinimize);
  EXPECT_TRUE(hints.decorations & MotifHints::kDecorationMaximize);

  // Opening an administration window and coming back leaves the frame as
  // it was.
  main.set_error_box([](QWidget*, const QString&, const QString&) {});
  main.set_admin_window_hook(
      [](TfmInterbase& window) { QTimer::singleShot(0, &window, [&window] { window.reject(); }); });
  main.findChild<QPushButton*>("bInterbase")->click();
  EXPECT_EQ(MotifHintsOf(main).decorations, hints.decorations);
  EXPECT_EQ(MotifHintsOf(main).functions, hints.functions);
}

}  // namespace
}  // namespace orvala::host
