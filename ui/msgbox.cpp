// The program's message box: scripted answers, headless defaults, or a real QMessageBox.
#include "ui/msgbox.h"

#include "system/untrusted_text.h"
#include "ui/frm_main.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QQueue>

#include <cstdio>

namespace MsgBox {

namespace {

QQueue<Answer>& scripted() {
    static QQueue<Answer> queue;
    return queue;
}

QVector<Record>& records() {
    static QVector<Record> list;
    return list;
}

QString currentTitle() {
    if (Frm_Main* main = Frm_Main::instance())
        return main->windowTitle();
    return QCoreApplication::applicationName();
}

QMessageBox::Icon toQt(Icon icon) {
    switch (icon) {
    case Icon::Critical:
        return QMessageBox::Critical;
    case Icon::Question:
        return QMessageBox::Question;
    case Icon::Exclamation:
        return QMessageBox::Warning;
    case Icon::Information:
        return QMessageBox::Information;
    case Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

struct ButtonMap {
    QMessageBox::StandardButton qt;
    Answer answer;
};

QVector<ButtonMap> buttonsOf(Buttons buttons) {
    switch (buttons) {
    case Buttons::OK:
        return {{QMessageBox::Ok, Answer::OK}};
    case Buttons::OKCancel:
        return {{QMessageBox::Ok, Answer::OK}, {QMessageBox::Cancel, Answer::Cancel}};
    case Buttons::AbortRetryIgnore:
        return {{QMessageBox::Abort, Answer::Abort},
                {QMessageBox::Retry, Answer::Retry},
                {QMessageBox::Ignore, Answer::Ignore}};
    case Buttons::YesNoCancel:
        return {{QMessageBox::Yes, Answer::Yes},
                {QMessageBox::No, Answer::No},
                {QMessageBox::Cancel, Answer::Cancel}};
    case Buttons::YesNo:
        return {{QMessageBox::Yes, Answer::Yes}, {QMessageBox::No, Answer::No}};
    case Buttons::RetryCancel:
        return {{QMessageBox::Retry, Answer::Retry}, {QMessageBox::Cancel, Answer::Cancel}};
    }
    return {{QMessageBox::Ok, Answer::OK}};
}

// The escape answer of a set: what closing the box from its frame means.
Answer escapeAnswer(Buttons buttons) {
    switch (buttons) {
    case Buttons::OK:
        return Answer::OK;
    case Buttons::YesNo:
        return Answer::No;
    case Buttons::AbortRetryIgnore:
        return Answer::Abort;
    default:
        return Answer::Cancel;
    }
}

void writeHeadless(const Record& r) {
    const QString text = Untrusted::Clean(r.text);
    const QByteArray line = QStringLiteral("%1: message: %2 (answer %3)")
                                .arg(r.title, text)
                                .arg(int(r.answer))
                                .toUtf8();
    std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
}

} // namespace

Answer firstButton(Buttons buttons) {
    return buttonsOf(buttons).first().answer;
}

bool headless() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return true;
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

Answer Show(const QString& text, Icon icon, Buttons buttons, std::optional<Answer> defaultAnswer) {
    Record r;
    r.text = text;
    r.title = currentTitle();
    r.icon = icon;
    r.buttons = buttons;

    if (!scripted().isEmpty()) {
        r.answer = scripted().dequeue();
        records().append(r);
        return r.answer;
    }
    if (headless()) {
        r.answer = defaultAnswer.value_or(firstButton(buttons));
        records().append(r);
        writeHeadless(r);
        return r.answer;
    }

    QMessageBox box(toQt(icon), r.title, text, QMessageBox::NoButton, Frm_Main::instance());
    const QVector<ButtonMap> map = buttonsOf(buttons);
    for (const ButtonMap& m : map)
        box.addButton(m.qt);
    const Answer preferred = defaultAnswer.value_or(map.first().answer);
    for (const ButtonMap& m : map)
        if (m.answer == preferred)
            box.setDefaultButton(m.qt);
    const int result = box.exec();
    r.answer = escapeAnswer(buttons);
    for (const ButtonMap& m : map)
        if (result == m.qt)
            r.answer = m.answer;
    r.shown = true;
    records().append(r);
    return r.answer;
}

void CancelOpenDialogs() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(window); dialog && dialog->isModal())
            if (dialog->isVisible())
                dialog->reject();
}

void setNextAnswer(Answer answer) {
    scripted().enqueue(answer);
}

void reset() {
    scripted().clear();
    records().clear();
}

const QVector<Record>& history() {
    return records();
}

} // namespace MsgBox
