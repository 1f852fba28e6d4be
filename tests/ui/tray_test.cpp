// The real program on a virtual X display with a tray host: started asleep behind its icon,
// still sending, the icon's menu on a right press, "Afficher" bringing the window back,
// the window's position kept from a SIGTERM to the next start, also under a window manager.
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "support/smtp_fixture.h"

#include <QDir>
#include <QFile>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <optional>

using namespace testsupport;

namespace {

// A window as xwininfo lists it.
struct XWindow {
    QString id;
    QString name;
    QRect geometry; // absolute
};

// One Xvfb display with a trayer panel docked at its top right corner, and a window manager
// when asked for.
class TrayDesktop {
public:
    explicit TrayDesktop(bool windowManager = false) {
        for (const char* tool : {"Xvfb", "trayer", "xdotool", "xwininfo", "xprop"})
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                missing_ += QLatin1String(tool) + u' ';
        if (windowManager && QStandardPaths::findExecutable(QStringLiteral("openbox")).isEmpty())
            missing_ += QStringLiteral("openbox ");
        if (!missing_.isEmpty())
            return;
        // The server picks a free display and writes its number on standard output.
        xvfb_.start(QStringLiteral("Xvfb"),
                    {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                     QStringLiteral("0"), QStringLiteral("1024x768x24"),
                     QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QByteArray out;
        waitUntil(
            [&] {
                out += xvfb_.readAllStandardOutput();
                return out.contains('\n') || xvfb_.state() == QProcess::NotRunning;
            },
            20000);
        if (!out.contains('\n'))
            return;
        display_ = u':' + QString::fromLatin1(out.trimmed());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display_);
        trayer_.setProcessEnvironment(env);
        if (windowManager) {
            wm_.setProcessEnvironment(env);
            wm_.start(QStringLiteral("openbox"), {});
            // Managing once it names itself on the root window.
            waitUntil(
                [&] {
                    return run(QStringLiteral("xprop"),
                               {QStringLiteral("-root"),
                                QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
                               .contains(QStringLiteral("window id")) ||
                           wm_.state() == QProcess::NotRunning;
                },
                20000);
        }
        // A host that ends before its panel shows is started once more.
        for (int start = 0; start < 2 && !ready_; ++start) {
            trayer_.start(
                QStringLiteral("trayer"),
                {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                 QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("pixel"),
                 QStringLiteral("--width"), QStringLiteral("100"), QStringLiteral("--height"),
                 QStringLiteral("24"), QStringLiteral("--SetDockType"), QStringLiteral("true")});
            waitUntil(
                [&] {
                    ready_ = find(QStringLiteral("panel")).has_value();
                    return ready_ || trayer_.state() == QProcess::NotRunning;
                },
                20000);
            if (!ready_)
                hostOutput_ +=
                    QStringLiteral("trayer %1: ")
                        .arg(trayer_.state() == QProcess::NotRunning ? QStringLiteral("ended")
                                                                     : QStringLiteral("running")) +
                    QString::fromLocal8Bit(trayer_.readAllStandardError()) + QStringLiteral("; ");
            if (!ready_ && trayer_.state() != QProcess::NotRunning)
                break;
        }
    }
    ~TrayDesktop() {
        for (QProcess* p : {&trayer_, &wm_, &xvfb_}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000))
                    p->kill();
                p->waitForFinished(5000);
            }
        }
    }
    // Ends the tray host, as a panel that crashes or is closed would.
    void stopTrayHost() {
        trayer_.terminate();
        if (!trayer_.waitForFinished(5000))
            trayer_.kill();
        trayer_.waitForFinished(5000);
    }
    // Ends the X server at once, as a crash of the display or a lost remote session would.
    void killDisplay() {
        xvfb_.kill();
        xvfb_.waitForFinished(5000);
    }
    QString missing() const { return missing_; }
    // What the tray host said, when it did not come up.
    QString hostOutput() const {
        return QStringLiteral("display ") + display_ + u' ' + hostOutput_;
    }
    bool ready() const { return ready_; }
    QString display() const { return display_; }

    QString run(const QString& tool, const QStringList& args) const {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display_);
        p.setProcessEnvironment(env);
        p.start(tool, args);
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    QList<XWindow> windows() const {
        static const QRegularExpression line(QStringLiteral(
            R"re((0x[0-9a-f]+) "([^"]*)":.*\s(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+))re"));
        QList<XWindow> found;
        for (const QString& l :
             run(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")})
                 .split(u'\n')) {
            const QRegularExpressionMatch m = line.match(l);
            if (m.hasMatch())
                found.append({m.captured(1), m.captured(2),
                              QRect(m.captured(5).toInt(), m.captured(6).toInt(),
                                    m.captured(3).toInt(), m.captured(4).toInt())});
        }
        return found;
    }
    std::optional<XWindow> find(const QString& namePrefix) const {
        for (const XWindow& w : windows())
            if (w.name.startsWith(namePrefix))
                return w;
        return std::nullopt;
    }
    bool mapped(const QString& id) const {
        return run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id})
            .contains(QStringLiteral("IsViewable"));
    }
    // Whether a window whose name starts so is listed and mapped. The listing may miss it for
    // a moment, while the toolkit replaces the native window.
    bool shown(const QString& namePrefix) const {
        const auto w = find(namePrefix);
        return w && mapped(w->id);
    }
    // The program's icon: a small window of the program docked in the panel.
    std::optional<XWindow> icon() const {
        const auto panel = find(QStringLiteral("panel"));
        if (!panel)
            return std::nullopt;
        for (const XWindow& w : windows())
            if (w.name == QLatin1String("VL3_Postique") && w.geometry.width() <= 64 &&
                panel->geometry.contains(w.geometry.center()) && mapped(w.id))
                return w;
        return std::nullopt;
    }
    // The mapped windows of the program other than the main window and the icon.
    QList<XWindow> popups() const {
        QList<XWindow> found;
        const auto tray = icon();
        for (const XWindow& w : windows())
            if (w.name == QLatin1String("VL3_Postique") && w.geometry.width() > 40 &&
                (!tray || w.id != tray->id) && mapped(w.id))
                found << w;
        return found;
    }
    // The decoration sizes the window manager gives the window `id` (left, right, top,
    // bottom), once it manages it.
    std::optional<QList<int>> frameExtents(const QString& id) const {
        const QString out = run(QStringLiteral("xprop"),
                                {QStringLiteral("-id"), id, QStringLiteral("_NET_FRAME_EXTENTS")});
        const qsizetype eq = out.indexOf(u'=');
        if (eq < 0)
            return std::nullopt;
        QList<int> values;
        for (const QString& v : out.mid(eq + 1).split(u','))
            values << v.trimmed().toInt();
        if (values.size() != 4)
            return std::nullopt;
        return values;
    }
    void click(const QPoint& at, int button) const {
        run(QStringLiteral("xdotool"),
            {QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
             QStringLiteral("click"), QString::number(button)});
    }

private:
    QString missing_;
    QProcess xvfb_;
    QProcess trayer_;
    QProcess wm_;
    QString display_;
    QString hostOutput_;
    bool ready_ = false;
};

} // namespace

TEST(Tray, AsleepBehindTheIconSendingAndBroughtBackByItsMenu) {
    TrayDesktop desktop;
    if (!desktop.missing().isEmpty())
        GTEST_SKIP() << "missing " << desktop.missing().toStdString() << "(tools/install-deps.sh)";
    ASSERT_TRUE(desktop.ready()) << "no tray host; " << desktop.hostOutput().toStdString();

    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    SmtpServerOptions options;
    options.host = privateLoopbackAddress();
    options.port = 25;
    SmtpServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    const QString jobs = QStringLiteral("C:\\Jobs\\");
    ASSERT_TRUE(install.writeSettings(options.host, QStringLiteral("postique@station.test"), jobs));
    const QString folder = install.drivePath(jobs);
    ASSERT_TRUE(QDir().mkpath(folder));

    std::unique_ptr<QProcess> program =
        install.start(50, {QStringLiteral("/veille=TRUE")}, desktop.display());
    ASSERT_TRUE(program->waitForStarted(10000));
    const QString title = QStringLiteral("Velmora: Postique");

    // Started asleep: the icon is docked and the window hidden.
    std::optional<XWindow> icon;
    const bool asleep = waitUntil(
        [&] {
            icon = desktop.icon();
            const auto main = desktop.find(title);
            return icon && main && !desktop.mapped(main->id);
        },
        30000);
    ASSERT_TRUE(asleep) << program->readAllStandardError().toStdString();

    // A job dropped while asleep is sent.
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/Email_1.ss8"),
                          jobRow(QStringLiteral("1"), QStringLiteral("a@example.org"), {}, {},
                                 QStringLiteral("asleep"), QStringLiteral("Body"))));
    EXPECT_TRUE(waitUntil([&] { return server.messages().size() == 1; }, 60000));

    // A right press opens the menu; its first entry, "Afficher", wakes the program. A menu
    // that is mapped may not take clicks yet on a loaded machine: the press is tried again.
    const auto shown = [&] { return desktop.shown(title); };
    bool awake = false;
    for (int attempt = 0; attempt < 3 && !awake; ++attempt) {
        // The panel may still be moving the icon to its place: aim where it is now.
        if (const auto now = desktop.icon())
            icon = now;
        desktop.click(icon->geometry.center(), 3);
        QList<XWindow> menus;
        if (!waitUntil([&] { return !(menus = desktop.popups()).isEmpty(); }, 10000))
            continue;
        QThread::msleep(300);
        menus = desktop.popups();
        if (menus.isEmpty())
            continue;
        desktop.click(menus.first().geometry.topLeft() + QPoint(25, 10), 1);
        awake = waitUntil(shown, 5000);
    }
    ASSERT_TRUE(awake) << program->readAllStandardError().toStdString();
    EXPECT_TRUE(waitUntil([&] { return !desktop.icon(); }, 10000)) << "the icon is removed";

    // Moved, then stopped by SIGTERM: the position is saved and the end of every copy recorded.
    const auto toMove = desktop.find(title);
    ASSERT_TRUE(toMove.has_value());
    desktop.run(QStringLiteral("xdotool"), {QStringLiteral("windowmove"), toMove->id,
                                            QStringLiteral("200"), QStringLiteral("150")});
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto moved = desktop.find(title);
            return moved && moved->geometry.topLeft() == QPoint(200, 150);
        },
        5000));
    ::kill(static_cast<pid_t>(program->processId()), SIGTERM);
    ASSERT_TRUE(program->waitForFinished(30000));
    EXPECT_EQ(program->exitCode(), 0) << program->readAllStandardError().toStdString();
    ASSERT_FALSE(install.recordedActions().isEmpty());
    EXPECT_TRUE(
        install.recordedActions().first().startsWith(QStringLiteral("EndAllCopies VL3_Postique")));

    // The next start opens the window where it was.
    program = install.start(50, {}, desktop.display());
    ASSERT_TRUE(program->waitForStarted(10000));
    const bool placed = waitUntil(
        [&] {
            const auto main = desktop.find(title);
            return main && desktop.mapped(main->id) && main->geometry.topLeft() == QPoint(200, 150);
        },
        30000);
    const auto last = desktop.find(title);
    EXPECT_TRUE(placed) << (last ? last->geometry.x() : -1);
    endProgram(*program);
}

TEST(Tray, WindowsComeBackWhenTheNotificationAreaGoesAway) {
    TrayDesktop desktop;
    if (!desktop.missing().isEmpty())
        GTEST_SKIP() << "missing " << desktop.missing().toStdString() << "(tools/install-deps.sh)";
    ASSERT_TRUE(desktop.ready()) << "no tray host; " << desktop.hostOutput().toStdString();
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    std::unique_ptr<QProcess> program =
        install.start(1000, {QStringLiteral("/Veille=True")}, desktop.display());
    ASSERT_TRUE(program->waitForStarted(10000));
    const QString title = QStringLiteral("Velmora: Postique");
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto main = desktop.find(title);
            return desktop.icon() && main && !desktop.mapped(main->id);
        },
        30000));

    // Nothing could bring a hidden window back any more: it comes back by itself.
    desktop.stopTrayHost();
    EXPECT_TRUE(waitUntil([&] { return desktop.shown(title); }, 15000));
    endProgram(*program);
}

// Under a window manager the window opens with its title bar on the screen, and comes back at
// every start exactly where it was.
TEST(Tray, WindowKeepsItsPlaceUnderAWindowManager) {
    TrayDesktop desktop(true);
    if (!desktop.missing().isEmpty())
        GTEST_SKIP() << "missing " << desktop.missing().toStdString() << "(tools/install-deps.sh)";
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    const QString title = QStringLiteral("Velmora: Postique");
    // The place of the window once the manager has framed it and it stays put.
    const auto placed = [&](QProcess& program) -> std::optional<QRect> {
        std::optional<QRect> last;
        QRect frame;
        const bool settled = waitUntil(
            [&] {
                // The hidden forms bear the same title: the main window is the mapped one.
                std::optional<XWindow> main;
                for (const XWindow& w : desktop.windows())
                    if (w.name.startsWith(title) && desktop.mapped(w.id))
                        main = w;
                if (!main)
                    return false;
                const auto extents = desktop.frameExtents(main->id);
                if (!extents)
                    return false;
                const QRect now = main->geometry.adjusted(-(*extents)[0], -(*extents)[2],
                                                          (*extents)[1], (*extents)[3]);
                const bool same = last && *last == now;
                last = now;
                frame = now;
                return same;
            },
            30000);
        if (!settled)
            ADD_FAILURE() << program.readAllStandardError().toStdString();
        return settled ? std::optional<QRect>(frame) : std::nullopt;
    };
    std::optional<QRect> first;
    for (int start = 0; start < 3; ++start) {
        SCOPED_TRACE(start);
        std::unique_ptr<QProcess> program = install.start(1000, {}, desktop.display());
        ASSERT_TRUE(program->waitForStarted(10000));
        const std::optional<QRect> frame = placed(*program);
        ASSERT_TRUE(frame.has_value());
        EXPECT_GE(frame->top(), 0) << "title bar above the screen";
        EXPECT_GE(frame->left(), 0);
        if (!first)
            first = frame;
        EXPECT_EQ(frame->topLeft(), first->topLeft());
        endProgram(*program);
    }
}

// The display going away under the program without a SIGHUP (the X server ended) ends it
// as a session's end does: status 0 and the shutdown steps, down to the end of its copies.
TEST(Tray, DisplayGoingAwayEndsTheProgramAsASessionsEnd) {
    TrayDesktop desktop;
    if (!desktop.missing().isEmpty())
        GTEST_SKIP() << "missing " << desktop.missing().toStdString() << "(tools/install-deps.sh)";
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    std::unique_ptr<QProcess> program = install.start(1000, {}, desktop.display());
    ASSERT_TRUE(program->waitForStarted(10000));
    ASSERT_TRUE(
        waitUntil([&] { return desktop.shown(QStringLiteral("Velmora: Postique")); }, 30000))
        << program->readAllStandardError().toStdString();

    desktop.killDisplay();
    ASSERT_TRUE(program->waitForFinished(30000));
    EXPECT_EQ(program->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program->exitCode(), 0) << program->readAllStandardError().toStdString();
    const QStringList recorded = install.recordedActions();
    ASSERT_EQ(recorded.size(), 1);
    EXPECT_TRUE(recorded.first().startsWith(QStringLiteral("EndAllCopies VL3_Postique")));
}

// A session's end (SIGTERM) while the quit question is open ends the program: the question
// is cancelled rather than left waiting for an answer nobody gives.
TEST(Tray, SessionEndWhileTheQuitQuestionIsOpen) {
    TrayDesktop desktop(true);
    if (!desktop.missing().isEmpty())
        GTEST_SKIP() << "missing " << desktop.missing().toStdString() << "(tools/install-deps.sh)";
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    std::unique_ptr<QProcess> program = install.start(1000, {}, desktop.display());
    ASSERT_TRUE(program->waitForStarted(10000));
    const QString title = QStringLiteral("Velmora: Postique");
    const auto mapped = [&] {
        int count = 0;
        for (const XWindow& w : desktop.windows())
            count += w.name.startsWith(title) && desktop.mapped(w.id) ? 1 : 0;
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return mapped() == 1; }, 30000));
    // The window manager's close key asks the question (a second window of that title). A
    // window mapped a moment ago may not take keys yet on a loaded machine: the key goes
    // again until the question is there.
    const auto main = desktop.find(title);
    ASSERT_TRUE(main.has_value());
    bool asked = false;
    for (int attempt = 0; attempt < 5 && !asked; ++attempt) {
        desktop.run(QStringLiteral("xdotool"),
                    {QStringLiteral("windowactivate"), QStringLiteral("--sync"), main->id,
                     QStringLiteral("key"), QStringLiteral("alt+F4")});
        asked = waitUntil([&] { return mapped() == 2; }, 4000);
    }
    ASSERT_TRUE(asked);

    ASSERT_TRUE(endProgram(*program, 20000)) << "still asking";
    EXPECT_EQ(program->exitCode(), 0) << program->readAllStandardError().toStdString();
    ASSERT_EQ(install.recordedActions().size(), 1);
}
