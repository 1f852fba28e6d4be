// The settings file through a started main window on a real temporary prefix: first start,
// save and reload, values derived from the sender, refused values, the modified flag.
#include "app/settings_file.h"

#include "app/headless_station.h"
#include "support/forms/settings_panel.h"
#include "support/qt_print.h"
#include "support/temp_prefix.h"
#include "system/globals.h"
#include "system/ini.h"
#include "ui/frm_main.h"
#include "ui/msgbox.h"
#include "ui/shell.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <functional>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace Lib_Public;

namespace {

const QString kSettingsFile = QStringLiteral("C:\\Halvaro\\Velmora\\Config\\VL3_Postique.ini");

// Everything the settings page shows that a restart should bring back.
struct Panel {
    QString server, user, pw, from, to, cc, cci, folder, port;
    int protocol = -1;
    Qt::CheckState auth{}, ssl{}, sign{}, encrypt{}, subfolders{};
    bool operator==(const Panel&) const = default;
};

void PrintTo(const Panel& p, std::ostream* os) {
    *os << QStringList({p.server, p.user, p.pw, p.from, p.to, p.cc, p.cci, p.folder, p.port})
               .join('|')
               .toStdString()
        << " protocol " << p.protocol << " checks " << p.auth << p.ssl << p.sign << p.encrypt
        << p.subfolders;
}

Panel panelOf(const Frm_Main& f) {
    return Panel{f.TexteServer->text(),
                 f.TexteUser->text(),
                 f.TextePW->text(),
                 f.TexteFrom->text(),
                 f.TexteTo->text(),
                 f.TexteCc->text(),
                 f.TexteCci->text(),
                 f.TexteDossier[0]->text(),
                 f.ListePort->currentText(),
                 f.ListeProtocol->currentIndex(),
                 f.CheckBoxAuth->checkState(),
                 f.CheckBoxSSL->checkState(),
                 f.CheckBoxSign->checkState(),
                 f.CheckBoxEncrypt->checkState(),
                 f.CheckSousDossiers->checkState()};
}

// The sending settings in one line, for comparing what the station reads with the page (the
// character set aside: this page is started without its list).
std::string described(const station::SendingSettings& s) {
    return QStringList{s.from,
                       s.server,
                       s.port,
                       s.user,
                       s.password,
                       s.jobFolder,
                       QString::number(s.protocol),
                       QString::number(s.auth),
                       QString::number(s.ssl),
                       QString::number(s.sign),
                       QString::number(s.encrypt),
                       QString::number(s.oauth)}
        .join(u'|')
        .toStdString();
}

// "Section/Key=Value" for every key line of an INI text, in file order.
QStringList keyLines(const QByteArray& ini) {
    QStringList lines;
    QString section;
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(ini);
    if (utf8.hasError())
        text = QString::fromLatin1(ini);
    for (const QString& line : text.split(QRegularExpression("\r?\n"))) {
        if (line.trimmed().startsWith('['))
            section = line.trimmed().mid(1, line.indexOf(']') - 1);
        else if (line.contains('='))
            lines << section + '/' + line;
    }
    return lines;
}

class SettingsFileTest : public TempPrefixTest {};

} // namespace

TEST_F(SettingsFileTest, FirstStartWithoutAnyFile) {
    auto f = StartMainWindow();
    const Panel p = panelOf(*f);
    EXPECT_EQ(p.server + p.user + p.pw + p.from + p.to + p.cc + p.cci, "");
    EXPECT_EQ(p.auth, Qt::Unchecked);
    EXPECT_EQ(f->ListeProtocol->currentText(), "SMTP Protocol - Recommandé");
    EXPECT_EQ(p.port, "25");
    EXPECT_EQ(p.folder, "C:\\VL_Data\\_Postique\\");
    EXPECT_TRUE(QFileInfo(prefix.native(p.folder)).isDir());
    EXPECT_FALSE(f->ParametresModifies);
    EXPECT_FALSE(prefix.exists(kSettingsFile)) << "nothing is written unless the operator saves";
}

TEST_F(SettingsFileTest, SaveWritesEveryKeyInOrderAndARestartShowsTheSamePanel) {
    Panel saved;
    {
        auto f = StartMainWindow();
        f->TexteServer->setText("mail.station.example");
        f->CheckBoxAuth->setChecked(true);
        f->TextePW->setText(" p@ss wörd;=x ");
        f->ListeProtocol->setCurrentIndex(2);
        f->ListePort->setCurrentIndex(2);
        f->CheckBoxSign->setChecked(true);
        f->TexteDossier[0]->setText("C:\\Jobs\\Mail\\");
        f->CheckSousDossiers->setChecked(true);
        f->TexteFrom->setText("Régie <regie@station.example>");
        f->TexteTo->setText("a@x.example; b@y.example");
        f->TexteCc->setText("c@x.example");
        f->TexteCci->setText("d@x.example");
        ASSERT_TRUE(f->ParametresModifies);
        f->CommandSave->click();
        EXPECT_FALSE(f->ParametresModifies);
        saved = panelOf(*f);
    }
    EXPECT_EQ(saved.user, "regie@station.example") << "filled from the sender";
    EXPECT_EQ(keyLines(prefix.read(kSettingsFile)).join('\n').toStdString(),
              QStringList({"Serveur/Serveur=mail.station.example",
                           "Serveur/Autentification=1",
                           "Serveur/User=regie@station.example",
                           "Serveur/PW= p@ss wörd;=x ",
                           "Serveur/Protocole=2",
                           "Serveur/ConnexionSSL=0",
                           "Serveur/Port=465",
                           "Envoi/SignatureNumerique=1",
                           "Envoi/Crypter=0",
                           "Dossiers/Dossier_00=C:\\Jobs\\Mail\\",
                           "Dossiers/SousDossier=1",
                           "Email/From=Régie <regie@station.example>",
                           "Email/To=a@x.example; b@y.example",
                           "Email/Cc=c@x.example",
                           "Email/Cci=d@x.example",
                           "OAuth2/Methode=0",
                           "OAuth2/Fournisseur=microsoft",
                           "OAuth2/Tenant=",
                           "OAuth2/ClientId=",
                           "OAuth2/Autorisation=",
                           "OAuth2/CodeAppareil=",
                           "OAuth2/Jeton=",
                           "OAuth2/ScopeSmtp=",
                           "OAuth2/ScopeEws=",
                           "OAuth2/ScopeGraph=",
                           "OAuth2/Octroi=0"})
                  .join('\n')
                  .toStdString());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(prefix.native(kSettingsFile)).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds the password in clear";

    auto again = StartMainWindow();
    Panel reloaded = panelOf(*again);
    // The password field trims nothing, but the INI layer strips the blanks around a value.
    EXPECT_EQ(reloaded.pw, "p@ss wörd;=x");
    reloaded.pw = saved.pw;
    EXPECT_EQ(reloaded, saved);
    EXPECT_EQ(again->ListeProtocol->currentText(), "Exchange Web Dav - 2000/2003");
    EXPECT_TRUE(QFileInfo(prefix.native("C:\\Jobs\\Mail")).isDir());
    EXPECT_FALSE(again->ParametresModifies);
    EXPECT_TRUE(again->TexteUser->isEnabled());
}

TEST_F(SettingsFileTest, AnExistingFileKeepsItsPermissions) {
    ASSERT_TRUE(prefix.write(kSettingsFile, "[Serveur]\r\nServeur=old\r\n"));
    const QByteArray native = QFile::encodeName(prefix.native(kSettingsFile));
    ASSERT_EQ(::chmod(native.constData(), 0640), 0);
    auto f = StartMainWindow();
    EXPECT_EQ(f->TexteServer->text(), "old");
    f->TexteServer->setText("new");
    f->CommandSave->click();
    struct stat st {};
    ASSERT_EQ(::stat(native.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(keyLines(prefix.read(kSettingsFile)).contains("Serveur/Serveur=new"));
}

TEST_F(SettingsFileTest, SenderFillsOnlyWhatTheFileLeftEmptyAndThePortIsRestored) {
    struct Case {
        const char* name;
        QByteArray file;
        QString user, server, port;
        Qt::CheckState ssl, auth;
    };
    const Case cases[] = {
        {"stored user and server stay",
         "[Serveur]\r\nServeur=mail.other.example\r\nUser=someone\r\nAutentification=0\r\n"
         "[Email]\r\nFrom=Studio <Studio@GMail.com>\r\n",
         "someone", "mail.other.example", "25", Qt::Unchecked, Qt::Unchecked},
        {"empty user and server come from a provider sender",
         "[Serveur]\r\nServeur=\r\nUser=\r\n[Email]\r\nFrom=Studio <Studio@GMail.com>\r\n",
         "Studio@GMail.com", "smtp.gmail.com", "587", Qt::Checked, Qt::Checked},
        {"empty user from another domain's sender",
         "[Serveur]\r\nServeur=mail.x\r\n[Email]\r\nFrom=a@b.example\r\n", "a@b.example", "mail.x",
         "25", Qt::Unchecked, Qt::Unchecked},
        {"stored submission port",
         "[Serveur]\r\nServeur=mail.x\r\nUser=login\r\nPort=587\r\n[Email]\r\nFrom=a@b."
         "example\r\n",
         "login", "mail.x", "587", Qt::Unchecked, Qt::Unchecked},
        {"stored port wins over the provider preset",
         "[Serveur]\r\nServeur=smtp.office365.com\r\nUser=someone\r\nPort=25\r\n", "someone",
         "smtp.office365.com", "25", Qt::Checked, Qt::Unchecked},
        {"unusual stored port", "[Serveur]\r\nServeur=mail.x\r\nUser=u\r\nPort= 2525 \r\n", "u",
         "mail.x", "2525", Qt::Unchecked, Qt::Unchecked},
        {"refused stored port", "[Serveur]\r\nServeur=mail.x\r\nUser=u\r\nPort=70000\r\n", "u",
         "mail.x", "25", Qt::Unchecked, Qt::Unchecked},
    };
    for (const Case& c : cases) {
        TempPrefix own;
        ASSERT_TRUE(own.write(kSettingsFile, c.file));
        auto f = StartMainWindow();
        EXPECT_EQ(f->TexteUser->text(), c.user) << c.name;
        EXPECT_EQ(f->TexteServer->text(), c.server) << c.name;
        EXPECT_EQ(f->ListePort->currentText(), c.port) << c.name;
        EXPECT_EQ(f->CheckBoxSSL->checkState(), c.ssl) << c.name;
        EXPECT_EQ(f->CheckBoxAuth->checkState(), c.auth) << c.name;
        EXPECT_EQ(f->TexteUser->isEnabled(), c.auth == Qt::Checked) << c.name;
        EXPECT_FALSE(f->ParametresModifies) << c.name;
        // The station without a window reads the same settings the page shows.
        EXPECT_EQ(described(HeadlessStation::ReadSendingSettings(SettingsFilePath())),
                  described(f->PageSettings()))
            << c.name;
        EXPECT_EQ(own.read(kSettingsFile), c.file) << c.name << ": nothing written back";
    }
}

TEST_F(SettingsFileTest, OddValuesAreReadKeyByKey) {
    struct Case {
        const char* name;
        QByteArray file;
        int protocol;
        Qt::CheckState auth, ssl;
    };
    const Case cases[] = {
        {"protocol 7 refused", "[Serveur]\r\nProtocole=7\r\nAutentification=1\r\n", 0, Qt::Checked,
         Qt::Unchecked},
        {"protocol abc reads 0", "[Serveur]\r\nProtocole=abc\r\n", 0, Qt::Unchecked, Qt::Unchecked},
        {"leading number", "[Serveur]\r\nProtocole= 2 servers\r\nAutentification=1e0\r\n", 2,
         Qt::Checked, Qt::Unchecked},
        {"halves go to even", "[Serveur]\r\nProtocole=0.5\r\nConnexionSSL=1.5\r\n", 0,
         Qt::Unchecked, Qt::PartiallyChecked},
        {"overflow refused", "[Serveur]\r\nAutentification=70000\r\nConnexionSSL=-1\r\n", 0,
         Qt::Unchecked, Qt::Unchecked},
        {"web service sets SSL, a later 0 clears it",
         "[Serveur]\r\nProtocole=1\r\nConnexionSSL=0\r\n", 1, Qt::Unchecked, Qt::Unchecked},
        {"unknown and duplicate keys",
         "[Serveur]\r\nColour=blue\r\nProtocole=2\r\nProtocole=1\r\n[Other]\r\nx=y\r\n", 2,
         Qt::Unchecked, Qt::Unchecked},
        {"check box of 2 is grayed", "[Serveur]\r\nAutentification=2\r\n", 0, Qt::PartiallyChecked,
         Qt::Unchecked},
    };
    for (const Case& c : cases) {
        TempPrefix own;
        ASSERT_TRUE(own.write(kSettingsFile, c.file));
        auto f = StartMainWindow();
        EXPECT_EQ(f->ListeProtocol->currentIndex(), c.protocol) << c.name;
        EXPECT_EQ(f->CheckBoxAuth->checkState(), c.auth) << c.name;
        EXPECT_EQ(f->CheckBoxSSL->checkState(), c.ssl) << c.name;
        EXPECT_FALSE(f->ParametresModifies) << c.name;
        EXPECT_EQ(described(HeadlessStation::ReadSendingSettings(SettingsFilePath())),
                  described(f->PageSettings()))
            << c.name;
        EXPECT_EQ(own.read(kSettingsFile), c.file) << c.name;
    }
}

TEST_F(SettingsFileTest, GrayedBoxBecomesAnOrdinaryBoxOnceChanged) {
    ASSERT_TRUE(prefix.write(kSettingsFile, "[Serveur]\r\nAutentification=2\r\nUser=u\r\n"));
    auto f = StartMainWindow();
    ASSERT_EQ(f->CheckBoxAuth->checkState(), Qt::PartiallyChecked);
    EXPECT_FALSE(f->TexteUser->isEnabled()) << "grayed is not on";
    f->CheckBoxAuth->click();
    EXPECT_EQ(f->CheckBoxAuth->checkState(), Qt::Checked);
    EXPECT_TRUE(f->TexteUser->isEnabled()) << "the box's handler ran";
    EXPECT_TRUE(f->ParametresModifies);
    f->CheckBoxAuth->click();
    f->CheckBoxAuth->click();
    EXPECT_EQ(f->CheckBoxAuth->checkState(), Qt::Checked) << "no way back to grayed";
}

TEST_F(SettingsFileTest, UncreatableJobFolderComesUpAndIsNamedWhenSaved) {
    struct Case {
        const char* name;
        QString folder;
        bool exists;
    };
    const Case cases[] = {{"missing drive", "Q:\\Jobs\\", false},
                          {"parent is a file", "C:\\Plain\\Jobs\\", false},
                          {"created at start", "C:\\Jobs\\", true}};
    for (const Case& c : cases) {
        TempPrefix own;
        ASSERT_TRUE(own.write("C:\\Plain", "file"));
        const QByteArray file =
            "[Dossiers]\r\nDossier_00=" + c.folder.toUtf8() + "\r\n[Email]\r\nTo=x@y\r\n";
        ASSERT_TRUE(own.write(kSettingsFile, file));
        auto f = StartMainWindow();
        EXPECT_EQ(f->TexteDossier[0]->text(), c.folder) << c.name;
        EXPECT_EQ(f->TexteTo->text(), "x@y") << c.name << ": later keys still read";
        EXPECT_EQ(own.read(kSettingsFile), file) << c.name;

        MsgBox::reset();
        f->CommandSave->click();
        int warnings = 0;
        for (const MsgBox::Record& r : MsgBox::history())
            warnings += r.text.contains(c.folder) && r.text.contains("n'existe pas") ? 1 : 0;
        EXPECT_EQ(warnings, c.exists ? 0 : 1) << c.name;
    }
}

// A folder of the Linux side is shown as the path it is there and kept in the suite's form;
// the suite's drives and shares are shown as they are. Chosen or typed, the same.
TEST_F(SettingsFileTest, JobFolderShownAsALinuxPathAndKeptInTheSuitesForm) {
    QTemporaryDir native;
    ASSERT_TRUE(native.isValid());
    const QString onLinux = native.path() + u'/';
    const QString suite =
        QStringLiteral("Z:") + QString(native.path()).replace(u'/', u'\\') + u'\\';
    const auto stored = [&] {
        return Lib_Systeme::LectureIni(kSettingsFile, "Dossiers", "Dossier_00", "none");
    };
    struct Case {
        QString stored, shown;
    };
    const Case cases[] = {
        {suite, onLinux}, {"C:\\Jobs\\", "C:\\Jobs\\"}, {"\\\\srv\\share\\", "\\\\srv\\share\\"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.toStdString());
        ASSERT_TRUE(prefix.write(kSettingsFile, "[Dossiers]\r\nDossier_00=" + c.stored.toUtf8()));
        auto f = StartMainWindow();
        EXPECT_EQ(f->TexteDossier[0]->text(), c.shown);
        EXPECT_EQ(f->SavedSettings.jobFolder, c.stored);
        MsgBox::reset();
        f->CommandSave->click();
        EXPECT_EQ(stored(), c.stored);
    }
    auto f = StartMainWindow();
    Lib_Systeme::FolderSelectQueueAnswer(native.path());
    f->CommandDossier[0]->click();
    EXPECT_EQ(f->TexteDossier[0]->text(), onLinux);
    f->TexteDossier[0]->setText(native.path());
    f->CommandSave->click();
    EXPECT_EQ(stored(), suite.chopped(1)) << "typed without its last separator";
}

TEST_F(SettingsFileTest, ModifiedFlagFollowsTheHandlers) {
    struct Case {
        const char* name;
        std::function<void(Frm_Main&)> change;
        bool modified;
    };
    const Case cases[] = {
        {"sender at another domain", [](Frm_Main& f) { TypeText(f.TexteFrom, "a@b.example"); },
         false},
        {"sender at a provider fills the server",
         [](Frm_Main& f) { TypeText(f.TexteFrom, "a@gmail.com"); }, true},
        {"recipients", [](Frm_Main& f) { TypeText(f.TexteTo, "x@y.example"); }, false},
        {"user typed", [](Frm_Main& f) { TypeText(f.TexteUser, "u"); }, true},
        {"password typed",
         [](Frm_Main& f) {
             f.TextePW->setEnabled(true);
             TypeText(f.TextePW, "p");
         },
         true},
        {"password shown", [](Frm_Main& f) { f.CommandPW->click(); }, false},
        {"server typed", [](Frm_Main& f) { TypeText(f.TexteServer, "s"); }, true},
        {"SSL", [](Frm_Main& f) { f.CheckBoxSSL->click(); }, true},
        {"signing", [](Frm_Main& f) { f.CheckBoxSign->click(); }, true},
        {"encryption", [](Frm_Main& f) { f.CheckBoxEncrypt->click(); }, true},
        {"authentication", [](Frm_Main& f) { f.CheckBoxAuth->click(); }, true},
        {"protocol", [](Frm_Main& f) { f.ListeProtocol->setCurrentIndex(1); }, true},
        {"port", [](Frm_Main& f) { f.ListePort->setCurrentIndex(2); }, true},
    };
    for (const Case& c : cases) {
        TempPrefix own;
        auto f = StartMainWindow();
        ASSERT_FALSE(f->ParametresModifies) << c.name;
        c.change(*f);
        EXPECT_EQ(f->ParametresModifies, c.modified) << c.name;
        f->CommandSave->click();
        EXPECT_FALSE(f->ParametresModifies) << c.name;
    }
}

TEST(StoredNumber, ReadsTheLeadingDecimalValue) {
    struct Case {
        const char* text;
        std::optional<qint16> value;
    };
    const Case cases[] = {
        {"1", 1},
        {"0", 0},
        {"", 0},
        {"abc", 0},
        {"  2abc", 2},
        {"1 2", 12},
        {"-1", -1},
        {"+3", 3},
        {"1.5", 2},
        {"2.5", 2},
        {"-0.5", 0},
        {".7", 1},
        {"1e1", 10},
        {"1D2", 100},
        {"1e", 1},
        {"32767", 32767},
        {"-32768", -32768},
        {"32767.5", std::nullopt},
        {"70000", std::nullopt},
        {"1e999", std::nullopt},
        {"1e-999", 0},
        {"\t\n1", 1},
        {"&H10", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StoredNumber(c.text), c.value) << c.text;
}
