// TfmInterbase: the database administration window.
//
// A small modal window that shows the stored database location, tests at
// once whether the database answers there through an attachment of its own,
// and lets the operator store a new location. The new location takes effect
// at the next OpenDB of a remote object and the next opening of this
// window; nothing here touches the remote objects, their connections or the
// logged-in flag.
//
// Every opening is a fresh window: the location is read, and the attachment
// made, when the window is created (FormCreate); the attachment is dropped
// when the window closes (FormClose) and, at the latest, when it goes.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "host/admin_connection.h"
#include "registry/registry.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;

namespace orvala::host {

// An error box with one OK button. Tests put a recorder in its place so
// that no modal box blocks them.
using ErrorBox = std::function<void(QWidget* parent, const QString& caption, const QString& text)>;

// The real box, modal to `parent`.
void ShowErrorBox(QWidget* parent, const QString& caption, const QString& text);

class TfmInterbase : public QDialog {
  Q_OBJECT

 public:
  static constexpr char kConnectFailedText[] = "Impossibile connettersi al database.";
  static constexpr char kConnectFailedCaption[] = "Error";

  // Creates the window owned by `owner` and runs FormCreate: any box it
  // shows appears before the window does.
  TfmInterbase(registry::Registry registry, QWidget* owner, ErrorBox error_box = ShowErrorBox);
  ~TfmInterbase() override;

  const AdminConnection& connection() const { return connection_; }

 public slots:
  // Stores the edit box's text, exactly as typed, as the location; an
  // empty box stores nothing. The status bar keeps the location the window
  // was opened with.
  void bApplicaClick();

 private:
  void FormCreate();
  void FormClose();
  // The application's standard error box: the application title as
  // caption and the failure's message as text.
  void ShowStandardError(const char* message);

  registry::Registry registry_;
  ErrorBox error_box_;
  AdminConnection connection_;  // IBDatabase1 with its transaction IBTransaction1

  QLabel* label1_;
  QLineEdit* eddb_path_;
  QPushButton* b_applica_;
  QStatusBar* status_bar1_;
  QLabel* status_panel_;
};

}  // namespace orvala::host
