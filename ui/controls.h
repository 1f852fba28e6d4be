// Reading and writing a control's text by its name on a given window, whatever kind of
// control it is, so the mail fields can be taken from either form that carries them.
#pragma once

#include <QString>

class QWidget;

namespace Controls {

// The control named `name` (its objectName) on the window `form`, looking only at widgets
// whose window is `form` itself; nullptr when `form` is null or holds no such control.
QWidget* Find(const QWidget* form, const QString& name);

// The text of control `name` on `form`: a line edit's or a text box's text, a combo box's
// current text, a label's or a button's caption. `found` (optional) tells whether the
// control exists and has a text; an empty text is returned otherwise.
QString Text(const QWidget* form, const QString& name, bool* found = nullptr);

// Sets the text of control `name` on `form` as a user edit would (change signals fire).
// For a combo box, selects the item with that text (editable boxes take any text).
// Returns false when the control is missing or has no text.
bool SetText(QWidget* form, const QString& name, const QString& text);

} // namespace Controls
