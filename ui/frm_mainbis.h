// The hidden second form: the mail fields of automatic mails, the poller's working lists,
// the start-asleep timer and the attachment file dialog. Never shown.
#pragma once

#include <QQueue>
#include <QString>
#include <QWidget>

class MailField;
class QListWidget;
class QTimer;

// The attachment picker: a thin wrapper over the platform's open-file dialog, keeping the
// properties its callers set and read. Tests script it with queueAnswer(); without a display
// an unscripted ShowOpen() behaves as a cancelled dialog.
class CommonDialog : public QObject {
    Q_OBJECT
public:
    explicit CommonDialog(QObject* parent = nullptr);

    // Filter in the "description|pattern|description|pattern" form, for example
    // "Tous les fichiers (*.*) | *.*".
    QString Filter;
    QString DialogTitle;
    QString InitDir;
    // The picked file's full path (native path); kept unchanged by a cancelled dialog.
    QString FileName;

    // Shows the open-file dialog (modal, over the main window). Returns true and sets
    // FileName when a file was picked; returns false and leaves FileName as it was when the
    // dialog was cancelled. A queued answer is taken instead of showing anything.
    bool ShowOpen();

    // Queues the outcome of the next ShowOpen(): a path is a pick, an empty text a cancel.
    void queueAnswer(const QString& fileName);

    // The Filter converted to the platform dialog's "description (patterns);;..." form.
    static QString toNameFilters(const QString& filter);

    // The folder the dialog opens in: InitDir (a Windows text or a native path) when it is
    // an existing folder, else the user's home folder.
    QString startFolder() const;

private:
    QQueue<QString> answers_;
};

// Conventions: see ui/frm_main.h (members named and objectNamed as in the design).
class Frm_MainBis : public QWidget {
    Q_OBJECT
public:
    explicit Frm_MainBis(QWidget* parent = nullptr);
    ~Frm_MainBis() override;

    // The single instance (created with the main window), or nullptr.
    static Frm_MainBis* instance();

    // The six mail fields of an automatic mail, under the compose panel's names: plain text
    // holders (ui/mail_field.h), cheap to fill for every row and without a length limit.
    MailField* TexteTo = nullptr;
    MailField* TexteCc = nullptr;
    MailField* TexteCci = nullptr;
    MailField* TexteSubject = nullptr; // starts with "Test d'envoi de mail"
    MailField* TexteBody = nullptr;
    MailField* TexteAttachments = nullptr;

    // The poller's working lists (unsorted).
    QListWidget* ListeSousDossiers = nullptr;
    QListWidget* ListeFichiersSS8 = nullptr;

    // Start-asleep timer: 100 ms, disabled at load.
    QTimer* TimerVeille = nullptr;

    // Attachment file dialog.
    CommonDialog* CMDialog = nullptr;

public Q_SLOTS:
    // Sleep mode (label "Frm_MainBis:TimerVeille_Timer").
    void TimerVeille_Timer();
};
