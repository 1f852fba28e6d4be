// The password field's two display states and what marks the settings as changed.
#include "app/password_field.h"

#include "support/forms/settings_panel.h"
#include "support/temp_prefix.h"
#include "ui/frm_main.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

TEST(PasswordField, AfficherTogglesMaskWithoutMarkingChanges) {
    TempPrefix prefix;
    auto f = StartMainWindow();
    f->CheckBoxAuth->click(); // the field takes typing only while authentication is on
    f->ParametresModifies = false;
    TypeText(f->TextePW, "secret");
    ASSERT_TRUE(f->ParametresModifies) << "typing a character marks the settings";
    f->ParametresModifies = false;

    EXPECT_FALSE(Lib_Public::PasswordShown(f->TextePW)) << "every start begins masked";
    EXPECT_EQ(f->TextePW->displayText(), QString(6, f->TextePW->displayText().at(0)));
    f->CommandPW->click();
    EXPECT_TRUE(Lib_Public::PasswordShown(f->TextePW));
    EXPECT_EQ(f->TextePW->displayText(), "secret");
    EXPECT_EQ(f->CommandPW->text(), "Afficher") << "the caption never changes";
    f->CommandPW->click();
    EXPECT_FALSE(Lib_Public::PasswordShown(f->TextePW));
    EXPECT_NE(f->TextePW->displayText(), "secret");
    EXPECT_FALSE(f->ParametresModifies);
}
