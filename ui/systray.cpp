// Tray icon over QSystemTrayIcon, the window-procedure hook that receives its mouse
// notifications, sleep mode, and the tray form's handlers.
#include "ui/systray.h"

#include "system/clock.h"
#include "system/error_reporting.h"
#include "system/supervision.h"
#include "system/untrusted_text.h"
#include "ui/frm_about.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/frm_systray.h"

#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QDateTime>
#include <QHash>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>

namespace Lib_SysTray {

namespace {

using Lib_Public::Trap;

constexpr int kTipLength = 63;
// How long the balloon of a new incident stays.
constexpr int kBalloonMs = 10000;
constexpr int kTrayWatchMs = 2000;

QHash<QWidget*, WindowProcedure>& procedures() {
    static QHash<QWidget*, WindowProcedure> table;
    return table;
}

// The icon record, kept from adding to removing.
struct IconRecord {
    QPointer<QSystemTrayIcon> icon;
    QPointer<QWidget> window;
    qint64 id = 0;
    QIcon base; // the icon given, which the state marks are drawn on
    QString tip;
    int incidents = 0; // incidents since the icon was put up (the window was last seen)
    QString lastBalloon;
    int balloons = 0;               // balloons raised since the program started
    std::optional<IconState> drawn; // the state the icon shows now
};
IconRecord& record() {
    static IconRecord r;
    return r;
}

// What the program is doing, told by the poller whether or not the icon is shown.
struct Activity {
    QString job; // the job being sent, "" between jobs
    QDateTime nextPoll;
};
Activity& activity() {
    static Activity a;
    return a;
}

// The activity line of the tip.
QString activityText() {
    const Activity& a = activity();
    if (!a.job.isEmpty())
        return QStringLiteral("Envoi en cours : %1").arg(Untrusted::Clean(a.job));
    const Frm_Main* main = Frm_Main::instance();
    if (main && main->CheckBloquer && main->CheckBloquer->isChecked())
        return QStringLiteral("En attente : envoi automatique bloqué");
    if (a.nextPoll.isValid() && a.nextPoll > Clock::Now())
        return QStringLiteral("En attente, prochain passage à %1")
            .arg(a.nextPoll.toString(QStringLiteral("HH:mm:ss")));
    return QStringLiteral("En attente du prochain passage");
}

// Brings the shown icon's tip and mark up to date with the state.
void refresh() {
    IconRecord& r = record();
    if (!r.icon)
        return;
    const QString tip = IconTip();
    if (r.icon->toolTip() != tip)
        r.icon->setToolTip(tip);
    const IconState state = ShownState();
    if (r.drawn != state) {
        r.icon->setIcon(StateIcon(r.base, state));
        r.drawn = state;
    }
}

// The hook state.
struct HookState {
    bool hooked = false;
    QPointer<QWidget> window;
    WindowProcedure previous;
};
HookState& hookState() {
    static HookState h;
    return h;
}

std::optional<bool>& trayOverride() {
    static std::optional<bool> forced;
    return forced;
}

// Sends one mouse notification of the icon to the window's procedure.
void notify(QSystemTrayIcon::ActivationReason reason) {
    qint64 event = 0;
    switch (reason) {
    case QSystemTrayIcon::Context:
        event = RightButtonDown;
        break;
    case QSystemTrayIcon::Trigger:
        event = LeftButtonDown;
        break;
    case QSystemTrayIcon::DoubleClick:
        event = LeftDoubleClick;
        break;
    case QSystemTrayIcon::MiddleClick:
        event = MiddleButtonDown;
        break;
    default:
        return;
    }
    QWidget* window = record().window;
    if (!window)
        return;
    const WindowProcedure procedure = GetWindowProcedure(window);
    procedure(window, CallbackMessage, record().id, event);
}

// While the program sleeps behind its icon, a notification area that goes away (its host
// ended) would leave the windows hidden for good: they come back instead.
QTimer& trayWatch() {
    static QTimer* timer = [] {
        auto* t = new QTimer(QCoreApplication::instance());
        t->setInterval(kTrayWatchMs);
        QObject::connect(t, &QTimer::timeout, t, [] {
            // The tip follows what changes without being told (the blocking check box,
            // a next poll that is now due).
            refresh();
            FrmSysTray* tray = FrmSysTray::instance();
            if (!IconShown() || TrayAvailable() || !tray)
                return;
            if (tray->ListeFrm->count() > 0)
                tray->AfficherFeuille();
            else
                RemoveIconFromTray();
        });
        return t;
    }();
    return *timer;
}

} // namespace

WindowProcedure GetWindowProcedure(QWidget* window) {
    const WindowProcedure procedure = procedures().value(window);
    if (procedure)
        return procedure;
    return [](QWidget*, qint32, qint64, qint64) { return 0; };
}

WindowProcedure SetWindowProcedure(QWidget* window, const WindowProcedure& procedure) {
    WindowProcedure previous = GetWindowProcedure(window);
    if (procedure)
        procedures().insert(window, procedure);
    else
        procedures().remove(window);
    return previous;
}

void AddIconToTray(QWidget* window, qint64 id, const QIcon& icon, const QString& tip) {
    Trap(QStringLiteral("Lib_SysTray:AddIconToTray"), [&] {
        IconRecord& r = record();
        if (r.icon) {
            r.icon->hide();
            r.icon->deleteLater();
        }
        r.window = window;
        r.id = id;
        r.base = icon.isNull() ? ProgramIcon() : icon;
        r.tip = tip.left(kTipLength);
        r.incidents = 0;
        r.lastBalloon.clear();
        r.icon = new QSystemTrayIcon(QCoreApplication::instance());
        r.icon->setObjectName(QStringLiteral("TrayIcon"));
        r.drawn.reset();
        refresh();
        QObject::connect(r.icon.data(), &QSystemTrayIcon::activated, r.icon.data(), &notify);
        r.icon->show();
        if (QCoreApplication::instance())
            trayWatch().start();
    });
}

void RemoveIconFromTray() {
    Trap(QStringLiteral("Lib_SysTray:RemoveIconFromTray"), [] {
        IconRecord& r = record();
        if (r.icon) {
            r.icon->hide();
            r.icon->deleteLater();
        }
        r.icon = nullptr;
        if (QCoreApplication::instance())
            trayWatch().stop();
    });
}

void Hook(QWidget* window) {
    Trap(QStringLiteral("Lib_SysTray:Hook"), [&] {
        HookState& h = hookState();
        if (h.hooked)
            return;
        h.window = window;
        h.previous = SetWindowProcedure(window, &WindowProc);
        h.hooked = true;
    });
}

void UnHook() {
    Trap(QStringLiteral("Lib_SysTray:UnHook"), [] {
        HookState& h = hookState();
        if (!h.hooked)
            return;
        if (h.window)
            SetWindowProcedure(h.window, h.previous);
        h.previous = nullptr;
        h.hooked = false;
    });
}

qint32 WindowProc(QWidget* window, qint32 message, qint64 wParam, qint64 lParam) {
    qint32 result = 0;
    Trap(QStringLiteral("Lib_SysTray:WindowProc"), [&] {
        const HookState& h = hookState();
        if (!h.hooked)
            return;
        if (message == CallbackMessage && lParam == RightButtonDown) {
            if (FrmSysTray* tray = FrmSysTray::instance())
                tray->SysTrayMouseEventHandler();
            result = -1;
            return;
        }
        // A left click or double click brings the window back, as the menu's "Afficher".
        if (message == CallbackMessage && (lParam == LeftButtonDown || lParam == LeftDoubleClick)) {
            if (FrmSysTray* tray = FrmSysTray::instance())
                tray->AfficherFeuille();
            result = -1;
            return;
        }
        result = h.previous ? h.previous(window, message, wParam, lParam) : 0;
    });
    return result;
}

void TellIncident(const QString& text) {
    Trap(QStringLiteral("Lib_SysTray:TellIncident"), [&] {
        IconRecord& r = record();
        if (!IconShown())
            return;
        ++r.incidents;
        refresh();
        // A condition said again (every cycle while it lasts) is counted in the tip, but
        // raises no new balloon: one balloon per change.
        if (r.lastBalloon == text)
            return;
        r.lastBalloon = text;
        ++r.balloons;
        r.icon->showMessage(QStringLiteral("Velmora: Postique - incident"), text,
                            QSystemTrayIcon::Warning, kBalloonMs);
    });
}

void TellSending(const QString& jobName) {
    activity().job = jobName;
    refresh();
}

void TellNextPoll(const QDateTime& when) {
    activity().nextPoll = when;
    refresh();
}

IconState ShownState() {
    if (record().icon && record().incidents > 0)
        return IconState::Failed;
    return activity().job.isEmpty() ? IconState::Waiting : IconState::Sending;
}

int BalloonsShown() {
    return record().balloons;
}

QString LastBalloon() {
    return record().icon ? record().lastBalloon : QString();
}

bool IconShown() {
    return !record().icon.isNull() && record().icon->isVisible();
}
QString IconTip() {
    const IconRecord& r = record();
    if (!r.icon)
        return QString();
    QString tip = r.tip + u'\n' + activityText();
    // The rows that wait, and since when the oldest does.
    if (const Supervision::Snapshot snap = Supervision::Take(); snap.queueRows > 0)
        tip += u'\n' + Supervision::QueueLine(snap);
    if (r.incidents > 0)
        tip += QStringLiteral("\nÉchec : %1 incident(s) depuis la mise en veille").arg(r.incidents);
    return tip;
}
bool Hooked() {
    return hookState().hooked;
}
QSystemTrayIcon* TrayIcon() {
    return record().icon.data();
}

bool TrayAvailable() {
    if (trayOverride())
        return *trayOverride();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void SetTrayAvailableForTests(std::optional<bool> available) {
    trayOverride() = available;
}

QList<QWidget*> Forms() {
    QList<QWidget*> forms;
    for (QWidget* w : std::initializer_list<QWidget*>{Frm_Main::instance(), Frm_MainBis::instance(),
                                                      FrmSysTray::instance(), FrmAbout::instance()})
        if (w)
            forms << w;
    return forms;
}

void MiseEnVeille(FrmSysTray* tray, QWidget* form, bool hideAll, const QString& tip) {
    const QString label = QStringLiteral("Lib_SysTray:MiseEnVeille");
    if (!form)
        return;
    if (!TrayAvailable()) {
        // No notification area: nothing could bring hidden windows back.
        Trap(label, [] {
            for (QWidget* w : Forms())
                if (w->isVisible())
                    w->showMinimized();
        });
        return;
    }
    Trap(label, [&] { Hook(form); });
    Trap(label,
         [&] { AddIconToTray(form, static_cast<qint64>(form->winId()), form->windowIcon(), tip); });
    if (!hideAll || !tray)
        return;
    Trap(label, [&] { tray->ListeFrm->clear(); });
    Trap(label, [&] {
        const QList<QWidget*> forms = Forms();
        for (auto it = forms.rbegin(); it != forms.rend(); ++it) {
            QWidget* w = *it;
            if (!w->isVisible())
                continue;
            w->hide();
            tray->ListeFrm->addItem(w->objectName());
        }
    });
}

QIcon ProgramIcon() {
    // The same drawing as the launcher's icon (packaging/postique.svg): an envelope on a
    // radio wave.
    static const QIcon icon = [] {
        QIcon result;
        for (int size : {16, 24, 32, 48, 64}) {
            QPixmap pixmap(size, size);
            pixmap.fill(Qt::transparent);
            QPainter p(&pixmap);
            p.setRenderHint(QPainter::Antialiasing);
            p.scale(size / 64.0, size / 64.0);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0x1e, 0x3c, 0x6e));
            p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
            QPen wave(QColor(0x77, 0xbe, 0xf2), 3, Qt::SolidLine, Qt::RoundCap);
            p.setPen(wave);
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(2, 34, 12, 16), -90 * 16, 180 * 16);
            p.drawArc(QRectF(2, 26, 22, 28), -90 * 16, 180 * 16);
            p.setPen(QPen(Qt::white, 2));
            p.setBrush(QColor(0xfa, 0xdc, 0x78));
            p.drawRoundedRect(QRectF(20, 18, 36, 26), 2, 2);
            p.setPen(
                QPen(QColor(0x1e, 0x3c, 0x6e), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawPolyline(QPolygonF({QPointF(20, 18), QPointF(38, 34), QPointF(56, 18)}));
            p.end();
            result.addPixmap(pixmap);
        }
        return result;
    }();
    return icon;
}

QIcon StateIcon(const QIcon& base, IconState state) {
    if (state == IconState::Waiting)
        return base;
    QIcon result;
    for (int size : {16, 24, 32, 48, 64}) {
        QPixmap pixmap = base.pixmap(size, size);
        if (pixmap.isNull())
            continue;
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        // The mark takes the lower right half of the icon, so that it reads at 16 pixels.
        const qreal side = pixmap.width() * 0.55;
        const QRectF mark(pixmap.width() - side, pixmap.height() - side, side, side);
        p.setPen(QPen(Qt::white, qMax(1.0, side / 12)));
        p.setBrush(state == IconState::Sending ? QColor(0x1e, 0x8c, 0x3c)
                                               : QColor(0xc8, 0x1e, 0x1e));
        p.drawEllipse(mark.adjusted(0.5, 0.5, -0.5, -0.5));
        p.setPen(QPen(Qt::white, qMax(1.5, side / 7), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const QPointF c = mark.center();
        const qreal u = side / 4;
        if (state == IconState::Sending) {
            // An arrow going out.
            p.drawLine(QPointF(c.x() - u, c.y()), QPointF(c.x() + u, c.y()));
            p.drawPolyline(QPolygonF(
                {QPointF(c.x(), c.y() - u), QPointF(c.x() + u, c.y()), QPointF(c.x(), c.y() + u)}));
        } else {
            p.drawLine(QPointF(c.x(), c.y() - u * 1.2), QPointF(c.x(), c.y() + u * 0.3));
            p.drawPoint(QPointF(c.x(), c.y() + u * 1.1));
        }
        p.end();
        result.addPixmap(pixmap);
    }
    return result;
}

} // namespace Lib_SysTray

// ---- The tray form's handlers ----

void FrmSysTray::MnuAfficher_Click() {
    AfficherFeuille();
}

void FrmSysTray::MnuAbout_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_SysTray:MnuAbout_Click"), [] {
        FrmAbout* about = FrmAbout::Load(Frm_Main::instance());
        about->show();
        about->raise();
    });
}

void FrmSysTray::MnuQuitter_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_SysTray:MnuQuitter_Click"), [] {
        if (Frm_Main* main = Frm_Main::instance())
            main->MnuQuitter_Click();
    });
}

void FrmSysTray::SysTrayMouseEventHandler() {
    Lib_Public::Trap(QStringLiteral("Frm_SysTray:SysTrayMouseEventHandler"), [&] {
        // The menu closes by itself when the user clicks elsewhere.
        MnuFlottant->popup(QCursor::pos());
    });
}

void FrmSysTray::AfficherFeuille() {
    const QString label = QStringLiteral("Frm_SysTray:AfficherFeuille");
    Lib_Public::Trap(label, [] { Lib_SysTray::UnHook(); });
    Lib_Public::Trap(label, [&] {
        const QList<QWidget*> forms = Lib_SysTray::Forms();
        for (int pass = 0; pass < 2; ++pass) {
            for (auto it = forms.rbegin(); it != forms.rend(); ++it) {
                QWidget* w = *it;
                if (pass == 0 && w->objectName() != QLatin1String("Frm_Main"))
                    continue;
                const QList<QListWidgetItem*> found =
                    ListeFrm->findItems(w->objectName(), Qt::MatchExactly);
                if (found.isEmpty())
                    continue;
                w->show();
                w->raise();
                w->activateWindow();
                delete ListeFrm->takeItem(ListeFrm->row(found.first()));
            }
        }
    });
    Lib_Public::Trap(label, [] { Lib_SysTray::RemoveIconFromTray(); });
}

void FrmSysTray::Form_Unload(qint16& Cancel) {
    if (Cancel != 0)
        return;
    Lib_Public::Trap(QStringLiteral("Frm_SysTray:Form_Unload"), [&] {
        if (ListeFrm->count() > 0)
            AfficherFeuille();
        // The icon never outlives the tray form.
        Lib_SysTray::RemoveIconFromTray();
        Lib_SysTray::UnHook();
    });
}
