// The About box's controls, texts and the start of the system-information program.
#include "ui/frm_about.h"

#include "system/error_reporting.h"
#include "system/numbers.h"
#include "system/registry.h"
#include "system/winpath.h"
#include "ui/msgbox.h"
#include "ui/systray.h"

#include <QDate>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

FrmAbout* theAbout = nullptr;

const QString kNotAvailable =
    QStringLiteral("Les informations système ne sont pas disponibles actuellement");

QLabel* label(const char* name, const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    return l;
}

QFrame* line(const char* name, QWidget* parent) {
    auto* f = new QFrame(parent);
    f->setObjectName(QLatin1String(name));
    f->setFrameShape(QFrame::HLine);
    f->setFrameShadow(QFrame::Sunken);
    return f;
}

} // namespace

FrmAbout::FrmAbout(QWidget* owner) : QWidget(owner, Qt::Window) {
    setObjectName(QStringLiteral("FrmAbout"));
    setWindowTitle(QStringLiteral("À propos de Velmora Postique"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(Lib_SysTray::ProgramIcon());
    theAbout = this;

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    picIcon = label("picIcon", QString(), this);
    picIcon->setPixmap(Lib_SysTray::ProgramIcon().pixmap(48, 48));
    auto* titles = new QVBoxLayout;
    lblTitle = label("lblTitle", QStringLiteral("Velmora Postique"), this);
    QFont big = lblTitle->font();
    big.setPointSize(big.pointSize() + 4);
    big.setBold(true);
    lblTitle->setFont(big);
    lblVersion = label("lblVersion", QString(), this);
    titles->addWidget(lblTitle);
    titles->addWidget(lblVersion);
    top->addWidget(picIcon, 0, Qt::AlignTop);
    top->addLayout(titles, 1);
    layout->addLayout(top);

    Label1 = label("Label1",
                   QStringLiteral("Module de messagerie de la suite Velmora, réalisé par ") +
                       MakerName() + u'.',
                   this);
    lblNotice = label("lblNotice", QString(), this);
    Line1[0] = line("Line1_0", this);
    lblDisclaimer =
        label("lblDisclaimer",
              QStringLiteral("Avertissement : ce programme est protégé par les lois sur le droit "
                             "d'auteur. Toute reproduction ou distribution, même partielle, sans "
                             "autorisation écrite est interdite."),
              this);
    lblDisclaimer->setWordWrap(true);
    Line1[1] = line("Line1_1", this);
    layout->addWidget(Label1);
    layout->addWidget(lblNotice);
    layout->addWidget(Line1[0]);
    layout->addWidget(lblDisclaimer);
    layout->addWidget(Line1[1]);

    auto* buttons = new QHBoxLayout;
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdSysInfo = new QPushButton(QStringLiteral("&Infos système..."), this);
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdSysInfo);
    layout->addLayout(buttons);

    connect(cmdOK, &QPushButton::clicked, this, &FrmAbout::cmdOK_Click);
    connect(cmdSysInfo, &QPushButton::clicked, this, &FrmAbout::cmdSysInfo_Click);
    resize(420, 240);
}

FrmAbout::~FrmAbout() {
    if (theAbout == this)
        theAbout = nullptr;
}

FrmAbout* FrmAbout::instance() {
    return theAbout;
}

FrmAbout* FrmAbout::Load(QWidget* owner) {
    if (theAbout)
        return theAbout;
    auto* about = new FrmAbout(owner); // owned by `owner`, deleted on close
    about->Form_Load();
    return about;
}

QString FrmAbout::MakerName() {
    return QStringLiteral("Halvaro");
}

QString FrmAbout::NoticeText(int year) {
    return QStringLiteral("Copyright © %1 ").arg(year, 4, 10, QLatin1Char('0')) + MakerName();
}

void FrmAbout::Form_Load() {
    const QString label = QStringLiteral("FrmAbout:Form_Load");
    Lib_Public::Trap(label, [&] {
        lblVersion->setText(QStringLiteral("Version ") + Lib_Systeme::VersionApplication());
    });
    Lib_Public::Trap(label, [&] { lblNotice->setText(NoticeText(QDate::currentDate().year())); });
}

void FrmAbout::cmdOK_Click() {
    close();
}

void FrmAbout::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        cmdOK_Click();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void FrmAbout::cmdSysInfo_Click() {
    StartSysInfo();
}

bool FrmAbout::GetKeyValue(qint32 root, const QString& keyName, const QString& valueName,
                           QString& value) {
    value.clear();
    qint32 type = 0;
    QString text;
    quint32 number = 0;
    if (!Lib_Systeme::Reg_QueryValue(root, keyName, valueName, type, text, number))
        return false;
    if (type == Lib_Systeme::REG_DWORD) {
        value = QStringLiteral("&h");
        for (int shift = 24; shift >= 0; shift -= 8)
            value += QString::number((number >> shift) & 0xffu, 16).toUpper();
    } else {
        if (text.endsWith(QChar(u'\0')))
            text.chop(1);
        value = text;
    }
    return true;
}

QString FrmAbout::SysInfoPath() {
    QString path;
    if (GetKeyValue(Lib_Systeme::HKEY_LOCAL_MACHINE,
                    QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                    QStringLiteral("PATH"), path))
        return path;
    QString folder;
    if (GetKeyValue(Lib_Systeme::HKEY_LOCAL_MACHINE,
                    QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                    QStringLiteral("MSINFO"), folder)) {
        const QString candidate = folder + QStringLiteral("\\MSINFO32.EXE");
        if (QFileInfo(WinPath::nativePath(candidate)).isFile())
            return candidate;
    }
    return QString();
}

void FrmAbout::StartSysInfo() {
    const QString path = SysInfoPath();
    bool started = false;
    if (!path.isEmpty()) {
        const QString native = WinPath::nativePath(path);
        const QFileInfo info(native);
        started = info.isFile() && info.isExecutable() &&
                  QProcess::startDetached(native, {}, info.absolutePath());
    }
    if (!started)
        MsgBox::Show(kNotAvailable, MsgBox::Icon::None, MsgBox::Buttons::OK);
}
