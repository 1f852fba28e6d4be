// The message-box wrapper: scripted answers, headless defaults, and the caption as title.
#include "ui/frm_main.h"
#include "ui/msgbox.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

using MsgBox::Answer;
using MsgBox::Buttons;
using MsgBox::Icon;

namespace {
struct ResetBoxes {
    ResetBoxes() { MsgBox::reset(); }
    ~ResetBoxes() { MsgBox::reset(); }
};
} // namespace

TEST(MsgBox, ScriptedAnswersComeInOrderWithTheCaptionAsTitle) {
    ResetBoxes reset;
    Frm_Main w;
    w.setWindowTitle("Velmora: Postique - 2025.0109.1402 - Studio A");
    MsgBox::setNextAnswer(Answer::Cancel);
    MsgBox::setNextAnswer(Answer::No);
    EXPECT_EQ(MsgBox::Show("Voulez-vous sauvegarder les modifications ?", Icon::Question,
                           Buttons::YesNoCancel),
              Answer::Cancel);
    EXPECT_EQ(MsgBox::Show("Voulez-vous quitter le programme ?", Icon::Question, Buttons::YesNo),
              Answer::No);
    ASSERT_EQ(MsgBox::history().size(), 2);
    const MsgBox::Record& first = MsgBox::history()[0];
    EXPECT_EQ(first.title, "Velmora: Postique - 2025.0109.1402 - Studio A");
    EXPECT_EQ(first.icon, Icon::Question);
    EXPECT_EQ(first.buttons, Buttons::YesNoCancel);
    EXPECT_FALSE(first.shown);
    // The title follows the caption at the time of the box.
    w.setWindowTitle("Autre");
    MsgBox::setNextAnswer(Answer::OK);
    MsgBox::Show("x");
    EXPECT_EQ(MsgBox::history().last().title, "Autre");
}

TEST(MsgBox, HeadlessBoxesAnswerWithTheirDefault) {
    ResetBoxes reset;
    ASSERT_TRUE(MsgBox::headless()) << "the tests run on the offscreen platform";
    struct Case {
        Buttons buttons;
        std::optional<Answer> preferred;
        Answer expected;
    };
    const Case cases[] = {
        {Buttons::OK, std::nullopt, Answer::OK},
        {Buttons::YesNo, std::nullopt, Answer::Yes},
        {Buttons::YesNoCancel, std::nullopt, Answer::Yes},
        {Buttons::YesNo, Answer::No, Answer::No},
        {Buttons::RetryCancel, std::nullopt, Answer::Retry},
        {Buttons::AbortRetryIgnore, std::nullopt, Answer::Abort},
        {Buttons::OKCancel, Answer::Cancel, Answer::Cancel},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MsgBox::Show("question", Icon::Exclamation, c.buttons, c.preferred), c.expected);
    EXPECT_EQ(MsgBox::history().size(), int(std::size(cases)));
}

TEST(MsgBox, WithoutMainWindowTheApplicationNameIsTheTitle) {
    ResetBoxes reset;
    ASSERT_EQ(Frm_Main::instance(), nullptr);
    MsgBox::Show("Fichier de configuration non trouvé", Icon::Information);
    EXPECT_EQ(MsgBox::history().last().title, QCoreApplication::applicationName());
}
