#include "host/close_confirmation.h"

#include <QMessageBox>

namespace orvala::host {

const char kEndWarningCaption[] = "COM Server Warning";
const char kEndWarningText[] =
    "There are still active COM objects in this application.  One or more clients may have "
    "references to these objects, so manually closing this application may cause those client "
    "application(s) to fail.\n\nAre you sure you want to close this application?";

bool AskYesNoInWarningBox(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool MayEnd(size_t live_objects, QWidget* parent, const YesNoQuestion& ask) {
  if (live_objects == 0) return true;
  return ask(parent, QString::fromLatin1(kEndWarningCaption), QString::fromLatin1(kEndWarningText));
}

}  // namespace orvala::host
