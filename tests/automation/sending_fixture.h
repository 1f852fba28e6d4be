// Poller tests that send: the settings page pointed at a real SMTP server on loopback, and
// the subjects it received.
#pragma once

#include "poller_fixture.h"
#include "support/smtp_fixture.h"

#include <QCheckBox>
#include <QComboBox>

namespace automation_tests {

class SendingTest : public PollerTest {
protected:
    // Points the settings page at `server`.
    void useServer(const testsupport::SmtpServer& server) {
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        form->TexteFrom->setText(QStringLiteral("Station <station@example.org>"));
        form->TexteServer->setText(QStringLiteral("127.0.0.1"));
        if (form->ListeProtocol->count() == 0)
            form->ListeProtocol->addItem(QStringLiteral("SMTP"));
        form->ListeProtocol->setCurrentIndex(0);
        const QString port = QString::number(server.port());
        if (form->ListePort->findText(port) < 0)
            form->ListePort->addItem(port);
        form->ListePort->setCurrentText(port);
        form->CheckBoxAuth->setChecked(false);
        form->CheckBoxSSL->setChecked(false);
        if (form->ListeCharset->count() == 0)
            form->InitGeneralCharset();
        form->KeepSavedSettings(); // the background sending takes the saved settings
    }

    static QStringList subjects(const testsupport::SmtpServer& server) {
        QStringList s;
        for (const auto& m : server.messages())
            s << testsupport::ParseWithPython(m.data).value(QStringLiteral("subject")).toString();
        return s;
    }
};

} // namespace automation_tests
