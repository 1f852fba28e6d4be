// A mail field of the hidden form: a named text holder with no display, no text layout and
// no length limit, read and written by name like the compose panel's text boxes.
#pragma once

#include <QString>
#include <QWidget>

// One text of an automatic mail (TexteTo ... TexteAttachments on Frm_MainBis). It is never
// shown, so setting a text costs a copy and nothing else, and it keeps texts of any length
// (an address list of thousands of recipients is not cut). A multi-line field keeps line
// ends the way a text box does: CR LF and a lone CR read back as LF.
class MailField : public QWidget {
    Q_OBJECT
public:
    // `name` is both the objectName and the name the field is found by.
    MailField(const char* name, bool multiLine, QWidget* parent);

    QString text() const { return text_; }
    void setText(const QString& text);
    // The same text under the names a multi-line text box uses.
    QString toPlainText() const { return text_; }
    void setPlainText(const QString& text) { setText(text); }
    bool isMultiLine() const { return multiLine_; }

private:
    QString text_;
    bool multiLine_;
};
