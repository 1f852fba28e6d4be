// Hidden mail fields of the second form.
#include "ui/mail_field.h"

MailField::MailField(const char* name, bool multiLine, QWidget* parent)
    : QWidget(parent), multiLine_(multiLine) {
    setObjectName(QString::fromLatin1(name));
    setVisible(false);
}

void MailField::setText(const QString& text) {
    text_ = text;
    if (multiLine_ && text_.contains(u'\r')) {
        text_.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        text_.replace(u'\r', u'\n');
    }
}
