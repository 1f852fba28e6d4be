// The hidden second form and the attachment file dialog.
#include "ui/frm_mainbis.h"

#include "system/winpath.h"
#include "ui/frm_main.h"
#include "ui/mail_field.h"
#include "ui/msgbox.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>

namespace {
Frm_MainBis* theMainBis = nullptr;
}

CommonDialog::CommonDialog(QObject* parent) : QObject(parent) {
    setObjectName("CMDialog");
}

QString CommonDialog::toNameFilters(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        const QString patterns = parts[i + 1].trimmed().replace(QLatin1Char(';'), QLatin1Char(' '));
        // The platform dialog takes its patterns from the last parentheses of each entry; a
        // description that already ends with them is kept as it is.
        const QString suffix = QStringLiteral("(%1)").arg(patterns);
        if (description.endsWith(suffix))
            out << description;
        else
            out << QStringLiteral("%1 %2").arg(description, suffix);
    }
    return out.join(QStringLiteral(";;"));
}

QString CommonDialog::startFolder() const {
    const QString native = InitDir.trimmed().isEmpty() ? QString() : WinPath::nativePath(InitDir);
    return !native.isEmpty() && QFileInfo(native).isDir() ? native : QDir::homePath();
}

void CommonDialog::queueAnswer(const QString& fileName) {
    answers_.enqueue(fileName);
}

bool CommonDialog::ShowOpen() {
    QString picked;
    if (!answers_.isEmpty()) {
        picked = answers_.dequeue();
    } else if (MsgBox::headless()) {
        return false;
    } else {
        picked = QFileDialog::getOpenFileName(Frm_Main::instance(), DialogTitle, startFolder(),
                                              toNameFilters(Filter));
    }
    if (picked.isEmpty())
        return false;
    FileName = picked;
    return true;
}

Frm_MainBis::Frm_MainBis(QWidget* parent) : QWidget(parent) {
    setObjectName("Frm_MainBis");
    setWindowTitle(QStringLiteral("Frm_MainBis"));
    theMainBis = this;

    auto* layout = new QVBoxLayout(this);
    // The mail fields stay out of the layout: they are never shown.
    auto line = [&](MailField*& member, const char* name) {
        member = new MailField(name, false, this);
    };
    auto multi = [&](MailField*& member, const char* name) {
        member = new MailField(name, true, this);
    };
    line(TexteTo, "TexteTo");
    line(TexteCc, "TexteCc");
    line(TexteCci, "TexteCci");
    line(TexteSubject, "TexteSubject");
    TexteSubject->setText(QStringLiteral("Test d'envoi de mail"));
    multi(TexteBody, "TexteBody");
    multi(TexteAttachments, "TexteAttachments");

    ListeSousDossiers = new QListWidget(this);
    ListeSousDossiers->setObjectName("ListeSousDossiers");
    ListeSousDossiers->setSortingEnabled(false);
    layout->addWidget(ListeSousDossiers);
    ListeFichiersSS8 = new QListWidget(this);
    ListeFichiersSS8->setObjectName("ListeFichiersSS8");
    ListeFichiersSS8->setSortingEnabled(false);
    layout->addWidget(ListeFichiersSS8);

    TimerVeille = new QTimer(this);
    TimerVeille->setObjectName("TimerVeille");
    TimerVeille->setInterval(100);
    connect(TimerVeille, &QTimer::timeout, this, &Frm_MainBis::TimerVeille_Timer);

    CMDialog = new CommonDialog(this);
}

Frm_MainBis::~Frm_MainBis() {
    if (theMainBis == this)
        theMainBis = nullptr;
}

Frm_MainBis* Frm_MainBis::instance() {
    return theMainBis;
}
