// The hidden tray form's controls.
#include "ui/frm_systray.h"

#include <QListWidget>
#include <QMenu>
#include <QVBoxLayout>

namespace {
FrmSysTray* theSysTray = nullptr;
}

FrmSysTray::FrmSysTray(QWidget* parent) : QWidget(parent) {
    setObjectName("FrmSysTray");
    setWindowTitle(QStringLiteral("FrmSysTray"));
    theSysTray = this;

    auto* layout = new QVBoxLayout(this);
    ListeFrm = new QListWidget(this);
    ListeFrm->setObjectName("ListeFrm");
    layout->addWidget(ListeFrm);

    MnuFlottant = new QMenu(QStringLiteral("Flottant"), this);
    MnuFlottant->setObjectName("MnuFlottant");
    MnuAfficher = MnuFlottant->addAction(QStringLiteral("Afficher"));
    MnuAfficher->setObjectName("MnuAfficher");
    MnuSep01 = MnuFlottant->addSeparator();
    MnuSep01->setObjectName("MnuSep01");
    MnuAbout = MnuFlottant->addAction(QStringLiteral("A propos..."));
    MnuAbout->setObjectName("MnuAbout");
    MnuFlottant->addSeparator();
    MnuQuitter = MnuFlottant->addAction(QStringLiteral("Quitter"));
    MnuQuitter->setObjectName("MnuQuitter");

    connect(MnuAfficher, &QAction::triggered, this, &FrmSysTray::MnuAfficher_Click);
    connect(MnuAbout, &QAction::triggered, this, &FrmSysTray::MnuAbout_Click);
    connect(MnuQuitter, &QAction::triggered, this, &FrmSysTray::MnuQuitter_Click);
}

FrmSysTray::~FrmSysTray() {
    if (theSysTray == this)
        theSysTray = nullptr;
}

FrmSysTray* FrmSysTray::instance() {
    return theSysTray;
}
