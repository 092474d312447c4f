// TfmMain: the server's main window.
//
// A small window, shown minimised, whose one button opens the database
// administration window. It holds the process's session count, and it is
// where the operator ends a server started by hand: closing it while remote
// objects are alive asks first (see close_confirmation.h).
//
// Thread safety: the window belongs to the main thread. The session
// counter it holds is shared with the remote objects' threads and guards
// itself; the live-object count is asked on the main thread and must be
// safe to call there.
#pragma once

#include <QFont>
#include <QWidget>
#include <cstddef>
#include <functional>

#include "host/admin_window.h"
#include "host/close_confirmation.h"
#include "registry/registry.h"
#include "server/session_counter.h"

class QPushButton;

namespace orvala::host {

// Shown on the task bar and as the caption of the standard error box.
inline constexpr char kApplicationTitle[] = "Orvala Application Server";

// The main window's frame: a title with minimise and maximise buttons, no
// close box and no window menu.
inline constexpr Qt::WindowFlags kMainWindowFlags =
    Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMinMaxButtonsHint;

// Sets the application title as the name of the running QApplication: on
// X11 it becomes the class of every window (WM_CLASS), by which task bars
// name and group the application. It is deliberately not Qt's display
// name, which Qt would append to every caption ("Orvala App Server —
// Orvala Application Server"): the captions read exactly as designed.
void SetApplicationTitle();

// The windows' font: "MS Sans Serif" at 11 pixels, or the nearest face the
// machine has (Microsoft's own substitutes first, then fontconfig's choice).
QFont FormFont();

class TfmMain : public QWidget {
  Q_OBJECT

 public:
  // `sessions` and the registry are the process's own; the counter must
  // outlive the window.
  TfmMain(server::SessionCounter& sessions, registry::Registry registry,
          QWidget* parent = nullptr);
  ~TfmMain() override;

  server::SessionCounter& sessions() const { return sessions_; }

  // How many remote objects are alive, asked when the window is to close.
  // Without it the window closes at once.
  void set_live_object_count(std::function<size_t()> count) { live_object_count_ = std::move(count); }
  // The boxes the window and its administration windows show; the real
  // ones unless tests replace them.
  void set_end_question(YesNoQuestion ask) { end_question_ = std::move(ask); }
  void set_error_box(ErrorBox box) { error_box_ = std::move(box); }
  // Called with every administration window after it is created and
  // before it is shown: lets tests watch and close the modal window.
  void set_admin_window_hook(std::function<void(TfmInterbase&)> hook) {
    admin_window_hook_ = std::move(hook);
  }

  // Shows the window as the server starts: minimised.
  void ShowAtStart();

 public slots:
  // Opens a fresh administration window, owned by this one, modally; it is
  // destroyed when it closes, and also when showing it fails.
  void bInterbaseClick();

 protected:
  // Closing ends the application: refused unless MayEnd agrees.
  void closeEvent(QCloseEvent* event) override;

 private:
  server::SessionCounter& sessions_;
  registry::Registry registry_;
  std::function<size_t()> live_object_count_;
  YesNoQuestion end_question_ = AskYesNoInWarningBox;
  ErrorBox error_box_ = ShowErrorBox;
  std::function<void(TfmInterbase&)> admin_window_hook_;
  QPushButton* b_interbase_;
};

}  // namespace orvala::host
