#include "host/admin_window.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>
#include <exception>

#include "host/main_window.h"
#include "registry/database_location.h"

namespace orvala::host {

void ShowErrorBox(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox::critical(parent, caption, text, QMessageBox::Ok);
}

TfmInterbase::TfmInterbase(registry::Registry registry, QWidget* owner, ErrorBox error_box)
    : QDialog(owner), registry_(std::move(registry)), error_box_(std::move(error_box)) {
  setWindowTitle(QStringLiteral("Amministrazione database"));
  setFont(FormFont());
  move(298, 147);
  resize(626, 147);

  // The controls keep their designed places; only the status bar follows
  // the bottom edge.
  auto* client = new QWidget(this);
  label1_ = new QLabel(QStringLiteral("Posizione Database :"), client);
  label1_->setObjectName(QStringLiteral("Label1"));
  QFont bold = label1_->font();
  bold.setBold(true);
  label1_->setFont(bold);
  label1_->setGeometry(8, 39, 121, 13);

  eddb_path_ = new QLineEdit(client);
  eddb_path_->setObjectName(QStringLiteral("eddbPath"));
  // Flat: a plain one-pixel line instead of the sunken frame.
  eddb_path_->setFrame(false);
  eddb_path_->setStyleSheet(
      QStringLiteral("QLineEdit { border: 1px solid palette(dark); background: palette(base); }"));
  eddb_path_->setGeometry(133, 36, 324, 21);

  b_applica_ = new QPushButton(QStringLiteral("Salva posizione"), client);
  b_applica_->setObjectName(QStringLiteral("bApplica"));
  b_applica_->setAutoDefault(false);
  b_applica_->setGeometry(475, 34, 84, 25);
  connect(b_applica_, &QPushButton::clicked, this, &TfmInterbase::bApplicaClick);
  setTabOrder(eddb_path_, b_applica_);

  status_bar1_ = new QStatusBar(this);
  status_bar1_->setObjectName(QStringLiteral("StatusBar1"));
  status_bar1_->setFixedHeight(19);
  // One panel; as the last panel of the bar it runs on to the right edge,
  // so a long location stays readable.
  status_panel_ = new QLabel(status_bar1_);
  status_panel_->setObjectName(QStringLiteral("StatusPanel1"));
  status_panel_->setMinimumWidth(50);
  status_bar1_->addWidget(status_panel_, 1);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(client, 1);
  layout->addWidget(status_bar1_);

  // finished() comes however the window closes: its close box, Escape, or
  // done() called by the owner.
  connect(this, &QDialog::finished, this, &TfmInterbase::FormClose);
  FormCreate();
}

TfmInterbase::~TfmInterbase() = default;

void TfmInterbase::FormCreate() {
  try {
    // Three readings, as the window always made them: a value changed in
    // between shows up in the later places only.
    eddb_path_->setText(QString::fromStdString(registry::ReadDatabaseLocation(registry_)));
    status_panel_->setText(QString::fromStdString(registry::ReadDatabaseLocation(registry_)));
    connection_.set_database_name(registry::ReadDatabaseLocation(registry_));
  } catch (const std::exception& e) {
    ShowStandardError(e.what());
    return;  // no connection is tried with a location that could not be read
  }
  try {
    connection_.Connect();
    connection_.StartTransaction();
  } catch (const std::exception&) {
    // The operator needs only the verdict; the window opens all the same so
    // that a wrong location can be put right.
    error_box_(this, QString::fromLatin1(kConnectFailedCaption),
               QString::fromUtf8(kConnectFailedText));
  }
}

void TfmInterbase::bApplicaClick() {
  const QString text = eddb_path_->text();
  if (text.isEmpty()) return;
  try {
    registry::WriteDatabaseLocation(registry_, text.toStdString());
  } catch (const std::exception& e) {
    ShowStandardError(e.what());
  }
}

void TfmInterbase::FormClose() {
  connection_.Disconnect();
  connection_.DeactivateTransaction();
}

void TfmInterbase::ShowStandardError(const char* message) {
  QString caption = QGuiApplication::applicationDisplayName();
  if (caption.isEmpty()) caption = QString::fromLatin1(kApplicationTitle);
  error_box_(this, caption, QString::fromStdString(message));
}

}  // namespace orvala::host
