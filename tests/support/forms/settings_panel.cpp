// A started main window for tests of the settings page.
#include "support/forms/settings_panel.h"

#include "app/folders.h"
#include "mail/engine/protocols.h"
#include "system/globals.h"
#include "ui/frm_main.h"
#include "ui/msgbox.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>

using namespace Lib_Public;

void ResetFolderState() {
    ResetFolderDiscoveryForTests();
    DossierApplication = kTestApplicationFolder;
    FichierConfigSuite.clear();
    ConfigSuiteTrouvee = true;
    DossierConfigGlobal.fill(QString());
    Sites.fill(SiteRecord{});
    DossierSettingsLocal.clear();
    DossierSettingsProgramme.clear();
    DossierHistoProgramme.clear();
}

std::unique_ptr<Frm_Main> StartMainWindow() {
    ResetFolderState();
    MsgBox::reset();
    auto form = std::make_unique<Frm_Main>();
    // The start-up steps that concern the settings page, in their order.
    NomDossierSettings();
    InitGeneralPath(true);
    InitGeneralSite(true);
    form->RemplirUtilisateur = true;
    form->RemplirServeur = true;
    form->ListeProtocol->clear();
    for (const mail::ProtocolInfo& protocol : mail::Protocols())
        form->ListeProtocol->addItem(QString::fromUtf8(protocol.label));
    form->ListeProtocol->setCurrentIndex(0);
    form->ListePort->clear();
    form->ListePort->addItems({QStringLiteral("25"), QStringLiteral("587"), QStringLiteral("465")});
    form->ListePort->setCurrentIndex(0);
    form->LoadSettingsFile();
    form->ParametresModifies = false;
    return form;
}

namespace {

void sendKey(QWidget* widget, int key, Qt::KeyboardModifiers modifiers, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QCoreApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QCoreApplication::sendEvent(widget, &release);
}

} // namespace

void TypeText(QWidget* widget, const QString& text) {
    for (QChar c : text) {
        const int key = c.isLetter() ? c.toUpper().unicode() : c.unicode();
        const Qt::KeyboardModifiers modifiers = c.isUpper() ? Qt::ShiftModifier : Qt::NoModifier;
        sendKey(widget, key, modifiers, QString(c));
    }
}

void ClearByKeys(QWidget* widget) {
    sendKey(widget, Qt::Key_A, Qt::ControlModifier, QString());
    sendKey(widget, Qt::Key_Backspace, Qt::NoModifier, QString());
}
