// The queue page on its own: the table, the buttons the selection allows, the keyboard path,
// and the question asked before a row is removed.
#include "support/qt_print.h"
#include "ui/msgbox.h"
#include "ui/queue_page.h"

#include <QLabel>
#include <QPushButton>
#include <QTableView>

#include <gtest/gtest.h>

TEST(QueuePage, ButtonsFollowTheSelectionAndTheDropAsksFirst) {
    station::QueueControl& control = station::QueueControl::instance();
    control.setHoldFile({});
    QString error;
    ASSERT_TRUE(control.hold("held.example", &error));
    QueuePage page([] { return station::SendingSettings(); });
    station::QueueEntry waiting{"Email_1.ss8",  2, "a@x.org", "waiting", "451 later", 1, 0,
                                "smtp.example", 0};
    station::QueueEntry held = waiting;
    held.row = 3;
    held.state = "held";
    held.destination = "held.example";
    page.setEntries({waiting, held});
    ASSERT_EQ(page.model().rowCount(), 2);
    EXPECT_EQ(page.model().index(1, 3).data().toString(), "retenue");

    const struct {
        int row;
        bool hold, release, drop;
    } cases[] = {{-1, false, false, false}, {0, true, false, true}, {1, false, true, true}};
    for (const auto& c : cases) {
        if (c.row < 0)
            page.table()->clearSelection();
        else
            page.table()->selectRow(c.row);
        EXPECT_EQ(page.holdButton()->isEnabled(), c.hold) << c.row;
        EXPECT_EQ(page.releaseButton()->isEnabled(), c.release) << c.row;
        EXPECT_EQ(page.dropButton()->isEnabled(), c.drop) << c.row;
    }

    // A new listing keeps the selected row where it still is and shows what changed.
    page.table()->selectRow(1);
    held.reason = "452 full";
    page.setEntries({waiting, held});
    EXPECT_EQ(page.model().index(1, 4).data().toString(), "452 full");
    EXPECT_TRUE(page.releaseButton()->isEnabled());
    page.setEntries({held});
    EXPECT_TRUE(page.releaseButton()->isEnabled());
    page.setEntries({waiting, held});
    page.setEntries({waiting});
    EXPECT_FALSE(page.releaseButton()->isEnabled());
    page.setEntries({waiting, held});

    // Every button has its mnemonic, takes the focus from Tab, and follows the table in the
    // Tab order.
    const QList<QPushButton*> buttons = {page.retryButton(), page.holdButton(),
                                         page.releaseButton(), page.dropButton()};
    QList<QPushButton*> chain;
    for (QWidget* w = page.table()->nextInFocusChain(); w != page.table();
         w = w->nextInFocusChain())
        if (auto* b = qobject_cast<QPushButton*>(w); b && buttons.contains(b))
            chain << b;
    EXPECT_EQ(chain, buttons);
    for (QPushButton* b : buttons) {
        EXPECT_TRUE(b->text().contains(u'&')) << b->text().toStdString();
        EXPECT_TRUE(b->focusPolicy() & Qt::TabFocus) << b->text().toStdString();
    }

    // Removing asks first; "No" asks nothing of the station.
    MsgBox::reset();
    page.table()->selectRow(0);
    MsgBox::setNextAnswer(MsgBox::Answer::No);
    page.dropRow();
    ASSERT_EQ(MsgBox::history().size(), 1);
    EXPECT_TRUE(MsgBox::history()[0].text.contains("ligne 2 de Email_1.ss8"));
    EXPECT_TRUE(page.answerLine()->text().isEmpty());
    // "Yes" asks the station, which no longer has the row here: it says so.
    MsgBox::setNextAnswer(MsgBox::Answer::Yes);
    page.table()->selectRow(0);
    page.dropRow();
    EXPECT_TRUE(page.answerLine()->text().startsWith("Aucune ligne 2"))
        << page.answerLine()->text().toStdString();
    ASSERT_TRUE(control.release("held.example", &error));
    MsgBox::reset();
}
