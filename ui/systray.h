// The notification-area icon and the window hook that routes its mouse notifications, and
// sleep mode: hiding the program's windows behind the icon and bringing them back.
#pragma once

#include <QIcon>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

class FrmSysTray;
class QSystemTrayIcon;
class QWidget;

namespace Lib_SysTray {

// Notification numbers the icon's window procedure receives: the callback message, and in
// lParam the mouse event that happened on the icon.
inline constexpr qint32 CallbackMessage = 517;  // WM_RBUTTONUP, the icon's callback number
inline constexpr qint64 LeftButtonDown = 513;   // WM_LBUTTONDOWN
inline constexpr qint64 LeftDoubleClick = 515;  // WM_LBUTTONDBLCLK
inline constexpr qint64 RightButtonDown = 516;  // WM_RBUTTONDOWN
inline constexpr qint64 MiddleButtonDown = 519; // WM_MBUTTONDOWN

// Tip text of the icon while the program sleeps.
inline constexpr char16_t SleepTip[] = u"Velmora: Postique";

// A window procedure: (window, message, wParam, lParam) -> result.
using WindowProcedure = std::function<qint32(QWidget*, qint32, qint64, qint64)>;

// The procedure that receives `window`'s notifications (a default one that answers 0
// until something is installed), and the installation of another one; SetWindowProcedure
// returns the procedure it replaced. An empty procedure restores the default.
WindowProcedure GetWindowProcedure(QWidget* window);
WindowProcedure SetWindowProcedure(QWidget* window, const WindowProcedure& procedure);

// Shows the icon `icon` with the tip `tip` (cut to 63 characters) for `window`, whose window
// procedure receives its mouse notifications as CallbackMessage with the mouse event in
// lParam and `id` in wParam. Replaces an icon already shown. Errors are reported under
// "Lib_SysTray:AddIconToTray".
void AddIconToTray(QWidget* window, qint64 id, const QIcon& icon, const QString& tip);

// Removes the icon shown by AddIconToTray (nothing when none is shown). Errors are
// reported under "Lib_SysTray:RemoveIconFromTray".
void RemoveIconFromTray();

// Installs WindowProc as `window`'s procedure, keeping the one it replaces; a second call
// while hooked does nothing. Label "Lib_SysTray:Hook".
void Hook(QWidget* window);

// Puts the kept procedure back on the hooked window (nothing when not hooked).
// Label "Lib_SysTray:UnHook".
void UnHook();

// The hook's window procedure: 0 when not hooked; a right-button press on the icon opens
// the tray form's menu (FrmSysTray::SysTrayMouseEventHandler) and gives -1; a left click
// or double click brings the windows back (FrmSysTray::AfficherFeuille) and gives -1; every
// other notification goes to the kept procedure and gives its result.
qint32 WindowProc(QWidget* window, qint32 message, qint64 wParam, qint64 lParam);

// While the icon is shown: counts a new incident in its tip and shows `text` in a balloon,
// so that an operator sees a failure while the window sleeps. Nothing otherwise.
void TellIncident(const QString& text);

// What the program is doing, kept whether or not the icon is shown, so that the icon tells
// it from the moment it comes: a job being sent (`jobName`, its file name; "" when the job
// is over), and when the next poll of the job folder is due (invalid: not known yet).
void TellSending(const QString& jobName);
void TellNextPoll(const QDateTime& when);

// What the icon and its tip show: failed while incidents came since the window was last
// seen (the icon came), else sending while a job is in hand, else waiting for the next poll.
enum class IconState { Waiting, Sending, Failed };
IconState ShownState();

// State for callers and tests. The tip is the one given, then a line for the activity
// (sending, waiting, automatic sending blocked), then the rows waiting in the queue with the
// oldest wait, then the incidents counted since the icon came.
bool IconShown();
QString IconTip();
QString LastBalloon(); // the text of the last incident balloon, "" when none
int BalloonsShown();   // incident balloons raised since the program started
bool Hooked();
QSystemTrayIcon* TrayIcon(); // nullptr while no icon is shown

// True when the desktop has a notification area to put the icon in. Tests may force the
// answer; std::nullopt asks the desktop again.
bool TrayAvailable();
void SetTrayAvailableForTests(std::optional<bool> available);

// The program's forms in the order they were loaded (Frm_Main, Frm_MainBis, FrmSysTray,
// then the About box while it is loaded): the window collection that sleep mode walks.
QList<QWidget*> Forms();

// Puts `form` to sleep behind the tray icon: hooks it, shows the icon with `tip` and, with
// `hideAll`, hides every visible form (last loaded first) and lists their names in
// `tray`->ListeFrm. Without a notification area nothing is hidden, since nothing could
// bring the windows back: the visible forms are minimised instead and stay reachable from
// the desktop's window list. Label "Lib_SysTray:MiseEnVeille".
void MiseEnVeille(FrmSysTray* tray, QWidget* form, bool hideAll, const QString& tip);

// The icon of the program's windows, the tray and the launcher.
QIcon ProgramIcon();

// `base` with the mark of `state` in its lower right corner: none while waiting, a green
// arrow while sending, a red "!" after a failure.
QIcon StateIcon(const QIcon& base, IconState state);

} // namespace Lib_SysTray
