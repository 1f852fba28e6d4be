// The one message box of the program: every question and notice goes through here, titled
// with the main window's current caption, scriptable by tests and silent without a display.
#pragma once

#include <QString>
#include <QVector>

#include <optional>

namespace MsgBox {

enum class Icon { None, Critical, Question, Exclamation, Information };

// Button sets, as the callers ask for them.
enum class Buttons { OK, OKCancel, AbortRetryIgnore, YesNoCancel, YesNo, RetryCancel };

// Answers keep the numbers that the old program's callers compared against.
enum class Answer { OK = 1, Cancel = 2, Abort = 3, Retry = 4, Ignore = 5, Yes = 6, No = 7 };

// One box as it was asked for, kept for tests (see history()).
struct Record {
    QString text;
    QString title;
    Icon icon = Icon::None;
    Buttons buttons = Buttons::OK;
    Answer answer = Answer::OK;
    bool shown = false; // false when answered by a script or the headless default
};

// Shows `text` with `icon` and `buttons`, titled with the main window's current caption
// (the application name when no main window exists), and returns the answer.
// The answer comes, in this order of precedence: from the next scripted answer
// (setNextAnswer); without a display, from `defaultAnswer` or else the first button of the
// set, without showing anything (the box is then written to standard error); otherwise from
// the user. A scripted or default answer that the set does not offer is still returned as
// given, so a test can drive any path. Never fails.
Answer Show(const QString& text, Icon icon = Icon::None, Buttons buttons = Buttons::OK,
            std::optional<Answer> defaultAnswer = std::nullopt);

// Cancels every modal dialog open right now (message boxes, file choosers), as Escape would:
// the program is ending and nobody is there to answer. Each box gives its set's Escape answer.
void CancelOpenDialogs();

// Queues an answer for the next box (first in, first out); the box is then not shown.
void setNextAnswer(Answer answer);

// Drops the scripted answers still queued and the recorded history.
void reset();

// Every box asked for since the last reset(), oldest first.
const QVector<Record>& history();

// True when boxes cannot be shown (offscreen or minimal platform, or no application object).
bool headless();

// The first button of a set: the answer a headless box gives by default.
Answer firstButton(Buttons buttons);

} // namespace MsgBox
