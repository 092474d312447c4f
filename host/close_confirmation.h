// Asking the operator before the application ends under its clients.
//
// Ending the process releases every remote object, and the clients that
// hold them fail on their next call. So while objects are alive, the
// operator is asked first, and "No" keeps the server running.
#pragma once

#include <QString>
#include <cstddef>
#include <functional>

class QWidget;

namespace orvala::host {

extern const char kEndWarningCaption[];  // "COM Server Warning"
extern const char kEndWarningText[];

// A warning box with Yes and No buttons, No the default: true for Yes.
// Tests put a recorder in its place so that no modal box blocks them.
using YesNoQuestion =
    std::function<bool(QWidget* parent, const QString& caption, const QString& text)>;

// The real box, modal to `parent` (or to the application when null).
bool AskYesNoInWarningBox(QWidget* parent, const QString& caption, const QString& text);

// Whether the application may end now: at once with no live objects;
// with some, only when the operator answers Yes to the warning.
bool MayEnd(size_t live_objects, QWidget* parent,
            const YesNoQuestion& ask = AskYesNoInWarningBox);

}  // namespace orvala::host
