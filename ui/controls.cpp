// Text access by control name for the forms.
#include "ui/controls.h"

#include "ui/mail_field.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>

namespace Controls {

QWidget* Find(const QWidget* form, const QString& name) {
    if (!form || name.isEmpty())
        return nullptr;
    const QList<QWidget*> all = form->findChildren<QWidget*>(name);
    for (QWidget* w : all)
        if (w->window() == form)
            return w;
    return nullptr;
}

QString Text(const QWidget* form, const QString& name, bool* found) {
    if (found)
        *found = true;
    QWidget* w = Find(form, name);
    if (auto* m = qobject_cast<MailField*>(w))
        return m->text();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* p = qobject_cast<QPlainTextEdit*>(w))
        return p->toPlainText();
    if (auto* t = qobject_cast<QTextEdit*>(w))
        return t->toPlainText();
    if (auto* c = qobject_cast<QComboBox*>(w))
        return c->currentText();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (found)
        *found = false;
    return QString();
}

bool SetText(QWidget* form, const QString& name, const QString& text) {
    QWidget* w = Find(form, name);
    if (auto* m = qobject_cast<MailField*>(w)) {
        m->setText(text);
        return true;
    }
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        e->setText(text);
        return true;
    }
    if (auto* p = qobject_cast<QPlainTextEdit*>(w)) {
        p->setPlainText(text);
        return true;
    }
    if (auto* t = qobject_cast<QTextEdit*>(w)) {
        t->setPlainText(text);
        return true;
    }
    if (auto* c = qobject_cast<QComboBox*>(w)) {
        if (c->isEditable()) {
            c->setEditText(text);
        } else {
            const int index = c->findText(text);
            if (index < 0)
                return false;
            c->setCurrentIndex(index);
        }
        return true;
    }
    if (auto* l = qobject_cast<QLabel*>(w)) {
        l->setText(text);
        return true;
    }
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        b->setText(text);
        return true;
    }
    return false;
}

} // namespace Controls
