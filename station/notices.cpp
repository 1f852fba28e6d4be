// Notices about rows: composed where the run decides one is due, sent one after the other by
// a thread that ends once none is left. A notice that cannot go is told as an incident line.
#include "station/notices.h"

#include "automation/jobs/incidents.h"
#include "station/mail_builder.h"
#include "station/settings_store.h"
#include "system/untrusted_text.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSysInfo>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace Notices {

namespace {

// Header fields of the status part are ASCII: anything else becomes "?".
QByteArray ascii(const QString& text) {
    QByteArray out = Untrusted::Clean(text).toUtf8();
    for (char& c : out)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '?';
    return out;
}

QByteArray rfc2822(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(Qt::RFC2822Date).toLatin1();
}

struct Sender {
    std::mutex mutex;
    std::condition_variable idle;
    std::deque<automation::RowNotice> queue;
    station::SendingSettings settings;
    QString address;
    bool running = false;
    std::thread thread;

    ~Sender() {
        if (thread.joinable())
            thread.join();
    }

    void run() {
        std::unique_lock lock(mutex);
        while (!queue.empty()) {
            const automation::RowNotice notice = queue.front();
            queue.pop_front();
            const station::SendingSettings saved = settings;
            const QString to = address;
            lock.unlock();
            send(notice, saved, to);
            lock.lock();
        }
        running = false;
        idle.notify_all();
    }

    static void send(const automation::RowNotice& notice, const station::SendingSettings& saved,
                     const QString& to) {
        const NoticeMail mail = Compose(notice);
        Sending::MailRequest request;
        request.fields.to = to;
        request.fields.subject = mail.subject;
        request.fields.body = mail.body;
        request.deliveryStatus = mail.status;
        request.settings = saved;
        // Sent in place, as the operator's own mail: never a row of the job in hand.
        request.interactive = true;
        request.oauthLogin = OAuthSettings::LoginOf(saved);
        QString problem;
        Sending::Feedback feedback;
        feedback.report = [&problem](const QString& text) {
            if (problem.isEmpty())
                problem = text;
        };
        if (Sending::BuildAndSend(request, feedback) == Sending::False && problem.isEmpty())
            return;
        const QString line = QStringLiteral("Avis à %1 non envoyé (ligne %2 de %3) : %4")
                                 .arg(to)
                                 .arg(notice.row)
                                 .arg(notice.job, problem);
        // Incident lines are the window's thread's.
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [line] { automation::postIncident(line); }, Qt::QueuedConnection);
    }
};

Sender& sender() {
    static Sender instance;
    return instance;
}

void enqueue(const automation::RowNotice& notice) {
    Sender& s = sender();
    std::lock_guard lock(s.mutex);
    // A row addressed to the operator alone would only bring a notice to the same address.
    bool toOperatorOnly = !notice.recipients.isEmpty();
    for (const QString& recipient : notice.recipients)
        toOperatorOnly = toOperatorOnly && recipient.compare(s.address, Qt::CaseInsensitive) == 0;
    if (toOperatorOnly || s.address.isEmpty())
        return;
    s.queue.push_back(notice);
    if (s.running)
        return;
    if (s.thread.joinable())
        s.thread.join();
    s.running = true;
    s.thread = std::thread([&s] { s.run(); });
}

} // namespace

NoticeMail Compose(const automation::RowNotice& notice) {
    const bool failed = notice.state == automation::NoticeState::Failed;
    const QString job = Untrusted::Clean(notice.job);
    const QString recipients = Untrusted::Clean(notice.recipients.join(QStringLiteral(", ")));
    const QString answer = Untrusted::Clean(notice.last.text);
    NoticeMail mail;
    mail.subject =
        failed ? QStringLiteral("Avis : ligne %1 de %2 non envoyée").arg(notice.row).arg(job)
               : QStringLiteral("Avis : ligne %1 de %2 en attente").arg(notice.row).arg(job);
    const QString since = notice.firstMs > 0 ? QDateTime::fromMSecsSinceEpoch(notice.firstMs)
                                                   .toString(QStringLiteral("dd/MM/yyyy HH:mm"))
                                             : QString();
    mail.body = (failed ? QStringLiteral("La ligne %1 de %2 ne sera pas envoyée (refus définitif).")
                              .arg(notice.row)
                              .arg(job)
                        : QStringLiteral("La ligne %1 de %2 attend depuis le %3 et sera réessayée.")
                              .arg(notice.row)
                              .arg(job, since)) +
                QStringLiteral("\n\nDestinataires : %1\nDernière réponse : %2\n")
                    .arg(recipients.isEmpty() ? QStringLiteral("?") : recipients,
                         answer.isEmpty() ? QStringLiteral("aucune") : answer);

    // The fields a mail program reads: the message as a whole, then one block per recipient.
    const QByteArray status = notice.last.enhanced.isEmpty()
                                  ? QByteArray(failed ? "5.0.0" : "4.0.0")
                                  : ascii(notice.last.enhanced);
    QByteArray fields =
        "Reporting-MTA: dns; " + ascii(QSysInfo::machineHostName()) + "\r\n" +
        "Original-Envelope-Id: " + ascii(QStringLiteral("%1:%2").arg(job).arg(notice.row)) +
        "\r\n" + "X-Postique-Job: " + ascii(job) + "\r\n" +
        "X-Postique-Row: " + QByteArray::number(notice.row) + "\r\n";
    if (notice.firstMs > 0)
        fields += "Arrival-Date: " + rfc2822(notice.firstMs) + "\r\n";
    const QStringList each =
        notice.recipients.isEmpty() ? QStringList{QString()} : notice.recipients;
    for (const QString& recipient : each) {
        fields += "\r\nFinal-Recipient: rfc822; " + ascii(recipient) + "\r\n";
        fields += QByteArray("Action: ") + (failed ? "failed" : "delayed") + "\r\n";
        fields += "Status: " + status + "\r\n";
        if (notice.last.code > 0 || !answer.isEmpty())
            fields += "Diagnostic-Code: smtp; " + ascii(answer) + "\r\n";
        fields += "Last-Attempt-Date: " + rfc2822(QDateTime::currentMSecsSinceEpoch()) + "\r\n";
    }
    mail.status = fields;
    return mail;
}

void Install(const station::SendingSettings& settings, const QString& address, qint64 waitMs) {
    {
        Sender& s = sender();
        std::lock_guard lock(s.mutex);
        s.settings = settings;
        s.address = address;
    }
    if (address.isEmpty())
        automation::setRowNotices({}, waitMs);
    else
        automation::setRowNotices(enqueue, waitMs);
}

void WaitIdle() {
    Sender& s = sender();
    std::unique_lock lock(s.mutex);
    s.idle.wait(lock, [&s] { return !s.running; });
}

} // namespace Notices
