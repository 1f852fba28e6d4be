// Mails per second through the mail component to a local SMTP sink: each mail is a new mail
// object, built and sent as the program does it (the session to the sink is reused).
#include "mail/engine/mail_component.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: bench_mail_send PORT [COUNT]\n");
        return 2;
    }
    const int port = args.at(1).toInt();
    const int count = args.size() > 2 ? args.at(2).toInt() : 2000;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        mail::MailMessage mail;
        mail.setServer(QStringLiteral("127.0.0.1"));
        mail.setPort(port);
        mail.setCharset(QStringLiteral("iso-8859-1"));
        mail.setSenderName(QStringLiteral("Régie"));
        mail.setSenderAddress(QStringLiteral("regie@station.test"));
        mail.addRecipients(QStringLiteral("Antenne <antenne@station.test>"), 0);
        mail.setSubject(QStringLiteral("Postique: diffusion n° %1").arg(i));
        mail.setBody(QStringLiteral("Le programme %1 est prêt.\nBonne antenne.\n").arg(i));
        if (mail.send() != 0) {
            std::fprintf(stderr, "send %d failed: %s\n", i,
                         mail.lastErrorDescription().toUtf8().constData());
            return 1;
        }
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("component %d %.3f %.1f\n", count, seconds, count / seconds);
    mail::CloseIdleSessions();
    return 0;
}
