// GestionDesErreurs: which errors are dropped and when the restart path is taken.
#include "system/error_reporting.h"

#include <QStringList>
#include <QTimer>

#include <gtest/gtest.h>

using namespace Lib_Public;

namespace {

struct Recorder {
    QStringList calls;
    QStringList trace;
    Recorder() {
        SetShortcutHook([this](bool create, qint32& wait, const QString& source) {
            calls << QStringLiteral("shortcut %1 %2 %3").arg(create).arg(wait).arg(source);
        });
        SetShutdownHook([this](qint32 mode) { calls << QStringLiteral("shutdown %1").arg(mode); });
        SetTraceHook([this](const QString& line) { trace << line; });
    }
    ~Recorder() {
        SetShortcutHook({});
        SetShutdownHook({});
        SetTraceHook({});
        ArretEnCours = false;
        EtatErreur.busy = false;
    }
};

} // namespace

TEST(GestionDesErreurs, RestartPathOnlyForDisconnectedComponent) {
    struct Case {
        qint32 number;
        bool restart;
    };
    const Case cases[] = {{ErrComponentDisconnected, true},
                          {0, false},
                          {53, false},
                          {-2147417848, true},
                          {-2147417847, false}};
    for (const Case& c : cases) {
        Recorder rec;
        ReportError(QStringLiteral("Frm_Main:Form_Load"), c.number, QStringLiteral("x"));
        if (c.restart) {
            ASSERT_EQ(rec.calls.size(), 2) << c.number;
            EXPECT_EQ(rec.calls[0], "shortcut 1 10000 Lib_Public:GestionDesErreurs");
            EXPECT_EQ(rec.calls[1], "shutdown 2");
        } else {
            EXPECT_TRUE(rec.calls.isEmpty()) << c.number;
        }
        EXPECT_EQ(ErrNumero, 0) << "the current error is cleared";
        EXPECT_FALSE(EtatErreur.busy);
    }
}

TEST(GestionDesErreurs, NothingAtAllWhileClosing) {
    Recorder rec;
    ArretEnCours = true;
    bool timerRan = false;
    QObject context; // cancels the pending event when the test ends
    QTimer::singleShot(0, &context, [&] { timerRan = true; });
    ReportError(QStringLiteral("Frm_Main:Form_Unload"), ErrComponentDisconnected,
                QStringLiteral("gone"));
    EXPECT_TRUE(rec.calls.isEmpty());
    EXPECT_TRUE(rec.trace.isEmpty());
    EXPECT_FALSE(timerRan) << "no event processing while closing";
    EXPECT_EQ(ErrNumero, ErrComponentDisconnected) << "the error is left as it was";
}

TEST(GestionDesErreurs, ReentrantErrorIsDroppedAndEventsRunOnce) {
    Recorder rec;
    int nestedCalls = 0;
    // An event that runs during the event processing of the first report raises a second
    // error, which must be dropped (no restart although its number asks for it).
    QObject context;
    QTimer::singleShot(0, &context, [&] {
        ++nestedCalls;
        ReportError(QStringLiteral("Frm_Main:TimerSendEmail_Timer"), ErrComponentDisconnected,
                    QStringLiteral("nested"));
    });
    ReportError(QStringLiteral("Frm_Main:SendEmail"), 91, QStringLiteral("first"));
    EXPECT_EQ(nestedCalls, 1);
    EXPECT_TRUE(rec.calls.isEmpty());
    EXPECT_FALSE(EtatErreur.busy);
    ASSERT_EQ(rec.trace.size(), 2);
    EXPECT_TRUE(rec.trace[0].startsWith("Frm_Main:SendEmail: error 91: first"));
}

TEST(Trap, FillsGlobalsFromTheExceptionAndReportsUnderTheLabel) {
    Recorder rec;
    struct Case {
        std::function<void()> step;
        QString expected;
    };
    const Case cases[] = {
        {[] { throw RunTimeError(53, QStringLiteral("Fichier introuvable")); },
         "Lib_Systeme:File_Exist: error 53: Fichier introuvable (line 12)"},
        {[] { throw std::runtime_error("boom\r\nInjected: yes"); },
         "Lib_Systeme:File_Exist: error 5: boom Injected: yes (line 12)"},
        {[] { throw std::bad_alloc(); }, "Lib_Systeme:File_Exist: error 7"},
    };
    for (const Case& c : cases) {
        rec.trace.clear();
        EXPECT_FALSE(Trap(QStringLiteral("Lib_Systeme:File_Exist"), c.step, 12));
        ASSERT_EQ(rec.trace.size(), 1);
        EXPECT_TRUE(rec.trace[0].startsWith(c.expected)) << rec.trace[0].toStdString();
    }
    rec.trace.clear();
    EXPECT_TRUE(Trap(QStringLiteral("X:Y"), [] {}));
    EXPECT_TRUE(rec.trace.isEmpty());
}
