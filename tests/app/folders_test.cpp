// Discovery of the suite's folders on real temporary prefixes: defaults on a bare machine,
// folders named by the suite files, the move of the old settings copy and the folder cache.
#include "app/folders.h"

#include "support/forms/settings_panel.h"
#include "support/qt_print.h"
#include "support/temp_prefix.h"
#include "system/globals.h"
#include "system/station.h"
#include "system/sysinfo.h"
#include "system/winpath.h"
#include "ui/msgbox.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace Lib_Public;

namespace {

const QString kApp = kTestApplicationFolder;
const QString kSuiteFile = QStringLiteral("C:\\Velmora\\Bin\\Settings\\VL3_Config.ini");

class FolderDiscoveryTest : public TempPrefixTest {
protected:
    void SetUp() override {
        generation_ = Lib_Systeme::WindowsGeneration;
        ResetFolderState();
        MsgBox::reset();
    }
    void TearDown() override {
        Lib_Systeme::WindowsGeneration = generation_;
        ResetFolderDiscoveryForTests();
        DossierApplication.clear();
    }
    void discover() {
        InitGeneralPath(true);
        InitGeneralSite(true);
    }

private:
    qint32 generation_ = 0;
};

} // namespace

TEST_F(FolderDiscoveryTest, BareMachineUsesAndCreatesTheDefaultFolders) {
    discover();
    EXPECT_EQ(FichierConfigSuite, kSuiteFile);
    EXPECT_TRUE(ConfigSuiteTrouvee);
    EXPECT_EQ(DossierConfigGlobal[0], "C:\\Halvaro\\Velmora\\Config\\");
    EXPECT_EQ(Sites[0].FichierSysteme, "C:\\Halvaro\\Velmora\\Config\\VL3_Systeme.ini");
    EXPECT_EQ(DossierSettingsLocal, "C:\\Halvaro\\Velmora\\Settings\\_Local\\");
    EXPECT_EQ(Sites[0].DossierLog, "C:\\RodovOzo\\");
    EXPECT_EQ(Sites[0].DossierHistorique, "C:\\RodovOzo\\Histo_VL3_Postique\\");
    EXPECT_EQ(Sites[0].DossierLocal, "C:\\Halvaro\\Velmora\\Settings\\_Local\\");
    EXPECT_EQ(Sites[0].DossierData, "C:\\VL_Data\\");
    for (const QString& folder :
         {DossierConfigGlobal[0], DossierSettingsLocal, Sites[0].DossierLog,
          Sites[0].DossierHistorique, Sites[0].DossierLocal, Sites[0].DossierData})
        EXPECT_TRUE(QFileInfo(prefix.native(folder)).isDir()) << folder.toStdString();
    EXPECT_TRUE(MsgBox::history().isEmpty()) << "current systems are not warned";
    EXPECT_EQ(NomStation(), "") << "the title then ends in \" - \"";
}

TEST_F(FolderDiscoveryTest, GlobalFolderFromTheSuiteFile) {
    struct Case {
        const char* name;
        QByteArray suiteFile;
        bool priorityBase;
        QString expected;
    };
    const Case cases[] = {
        {"base key, no trailing backslash", "[Base_01]\r\nDossier_Config_Global=C:\\Suite\\Cfg\r\n",
         true, "C:\\Suite\\Cfg\\"},
        {"base key with trailing backslash",
         "[Base_01]\r\nDossier_Config_Global=C:\\Suite\\Cfg\\\r\n", true, "C:\\Suite\\Cfg\\"},
        {"blank base key falls back to Site",
         "[Base_01]\r\nDossier_Config_Global=\r\n[Site]\r\nDossier_Config_Global=C:\\Site\\Cfg\r\n",
         true, "C:\\Site\\Cfg\\"},
        {"blank in both stays blank",
         "[Base_01]\r\nDossier_Config_Global=\r\n[Site]\r\nDossier_Config_Global=\r\n", true, ""},
        {"Site first without base priority",
         "[Base_01]\r\nDossier_Config_Global=C:\\B\\\r\n[Site]\r\nDossier_Config_Global=C:"
         "\\S\\\r\n",
         false, "C:\\S\\"},
        {"base default after a blank Site", "[Site]\r\nDossier_Config_Global=\r\n", false,
         "C:\\Halvaro\\Velmora\\Config\\"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(prefix.write(kSuiteFile, c.suiteFile));
        EXPECT_EQ(DetermineDossierConfig_Bases_Dossier(kSuiteFile, 1, c.priorityBase), c.expected)
            << c.name;
    }
}

TEST_F(FolderDiscoveryTest, SiteFoldersFromTheSystemFile) {
    ASSERT_TRUE(prefix.write(kSuiteFile, "[Base_01]\r\nDossier_Config_Global=C:\\Cfg\r\n"));
    ASSERT_TRUE(
        prefix.write("C:\\Cfg\\VL3_Systeme.ini",
                     "[Site]\r\nSettings_Local_Folder=C:\\Loc\r\nNom_Station=  Studio 2\t\r\n"
                     "[Base_01]\r\nDossier_Log=C:\\Logs\\\r\nDossier_Local=C:\\Local\r\n"
                     "Dossier_Data=C:\\Data\r\n"));
    discover();
    EXPECT_EQ(DossierConfigGlobal[0], "C:\\Cfg\\");
    EXPECT_EQ(DossierSettingsLocal, "C:\\Loc\\");
    EXPECT_EQ(Sites[0].DossierLog, "C:\\Logs\\");
    EXPECT_EQ(Sites[0].DossierHistorique, "C:\\Logs\\Histo_VL3_Postique\\");
    EXPECT_EQ(Sites[0].DossierLocal, "C:\\Local\\");
    EXPECT_EQ(Sites[0].DossierData, "C:\\Data\\");
    EXPECT_TRUE(prefix.exists("C:\\Logs\\Histo_VL3_Postique"));
    EXPECT_TRUE(prefix.exists("C:\\Data"));
    EXPECT_FALSE(prefix.exists("C:\\VL_Data")) << "defaults are not created when not used";
    EXPECT_EQ(NomStation(), "Studio 2");
}

TEST_F(FolderDiscoveryTest, StationNameOfTheBaseWinsOverTheSite) {
    ASSERT_TRUE(
        prefix.write("C:\\Halvaro\\Velmora\\Config\\VL3_Systeme.ini",
                     "[Site]\r\nNom_Station=Site\r\n[Base_01]\r\nNom_Station=Base\x01One\r\n"));
    discover();
    EXPECT_EQ(NomStation(), "BaseOne") << "control characters never reach the title";
}

TEST_F(FolderDiscoveryTest, BlankGlobalFolderFallsBackToTheWindowsFolder) {
    ASSERT_TRUE(prefix.write(kSuiteFile, "[Base_01]\r\nDossier_Config_Global=\r\n"));
    ASSERT_TRUE(
        prefix.write("C:\\windows\\VL3_Systeme.ini", "[Base_01]\r\nDossier_Data=C:\\WinData\r\n"));
    discover();
    EXPECT_EQ(DossierConfigGlobal[0], "");
    EXPECT_EQ(Sites[0].FichierSysteme, "VL3_Systeme.ini");
    EXPECT_EQ(Sites[0].DossierData, "C:\\WinData\\") << "a bare name is read in the Windows folder";
}

TEST_F(FolderDiscoveryTest, OldSystemsWarnAboutAMissingSuiteFile) {
    Lib_Systeme::WindowsGeneration = 5;
    const QString path = DetermineDossierConfig();
    EXPECT_EQ(path, kSuiteFile);
    EXPECT_FALSE(ConfigSuiteTrouvee);
    ASSERT_EQ(MsgBox::history().size(), 1);
    EXPECT_EQ(MsgBox::history()[0].text,
              "Fichier de configuration non trouvé: \r\n\r\n" + kSuiteFile);
    EXPECT_EQ(MsgBox::history()[0].icon, MsgBox::Icon::Information);
    EXPECT_EQ(DetermineDossierConfig(), path) << "answered from the cache";
    EXPECT_EQ(MsgBox::history().size(), 1);
}

TEST_F(FolderDiscoveryTest, MissingSuiteFileOnOldSystemsReadsTheHalvaroKey) {
    Lib_Systeme::WindowsGeneration = 5;
    FichierConfigSuite = DetermineDossierConfig();
    ASSERT_FALSE(ConfigSuiteTrouvee);
    ASSERT_TRUE(prefix.write("C:\\Some.ini", "[Halvaro]\r\nIni_Base_01=C:\\FromHalvaro\r\n"));
    EXPECT_EQ(DetermineDossierConfig_Bases_Dossier("C:\\Some.ini", 1, true), "C:\\FromHalvaro\\");
    EXPECT_EQ(DetermineDossierConfig_Bases_Dossier(FichierConfigSuite, 1, true), "");
}

TEST_F(FolderDiscoveryTest, OldSettingsCopyMovesFromTheWindowsFolder) {
    struct Case {
        const char* name;
        QByteArray oldCopy;
        QByteArray localCopy; // empty: none
        bool moved;
    };
    const Case cases[] = {
        {"copy in the Windows folder only", "[FrmPos]\r\nx=1\r\n", "", true},
        {"a failed copy leaves the old file", "", "", false},
        {"an existing local copy is kept", "[old]\r\n", "[new]\r\n", false},
    };
    for (const Case& c : cases) {
        TempPrefix own;
        DossierSettingsProgramme.clear();
        const QString old = "C:\\windows\\VL3_Postique.Ini";
        const QString local = kApp + "Settings\\VL3_Postique\\VL3_Postique.Ini";
        ASSERT_TRUE(own.write(old, c.oldCopy));
        if (!c.localCopy.isEmpty()) {
            ASSERT_TRUE(own.write(local, c.localCopy));
        }
        NomDossierSettings();
        EXPECT_EQ(DossierSettingsProgramme, kApp + "Settings\\VL3_Postique\\") << c.name;
        EXPECT_EQ(DossierHistoProgramme, kApp + "Settings\\VL3_Postique\\Histo\\") << c.name;
        EXPECT_TRUE(own.exists(DossierHistoProgramme)) << c.name;
        EXPECT_EQ(own.exists(old), !c.moved) << c.name;
        if (c.moved)
            EXPECT_EQ(own.read(local), c.oldCopy) << c.name;
        else if (!c.localCopy.isEmpty())
            EXPECT_EQ(own.read(local), c.localCopy) << c.name;
        else
            EXPECT_FALSE(own.exists(local)) << c.name;
    }
}

TEST_F(FolderDiscoveryTest, SettingsFileNamesBuildOnTheSettingsFolder) {
    EXPECT_EQ(NomFichierSettings("_Positions", ".Ini"),
              kApp + "Settings\\VL3_Postique\\VL3_Postique_Positions.Ini");
    EXPECT_TRUE(prefix.exists(kApp + "Settings\\VL3_Postique\\Histo"))
        << "the settings folder is made on first use";
}

TEST_F(FolderDiscoveryTest, FolderFoundAnswersFromItsCache) {
    const QString folder = "C:\\Jobs\\Cache\\";
    EXPECT_TRUE(Lib_Systeme::FolderFound(folder)) << "created when absent";
    ASSERT_TRUE(QDir(prefix.native(folder)).removeRecursively());
    EXPECT_TRUE(Lib_Systeme::FolderFound("c:\\jobs\\CACHE\\")) << "still known, any case";

    // A folder that cannot be made (its parent is a file) stays missing for the run.
    ASSERT_TRUE(prefix.write("C:\\Plain", "file"));
    EXPECT_FALSE(Lib_Systeme::FolderFound("C:\\Plain\\Sub\\"));
    ASSERT_TRUE(QFile::remove(prefix.native("C:\\Plain")));
    EXPECT_FALSE(Lib_Systeme::FolderFound("C:\\Plain\\Sub\\"));
    EXPECT_FALSE(prefix.exists("C:\\Plain\\Sub"));

    // A missing folder says nothing about the folders whose names it contains.
    ASSERT_TRUE(prefix.write("C:\\Base\\File", "file"));
    EXPECT_FALSE(Lib_Systeme::FolderFound("C:\\Base\\File\\Sub\\"));
    EXPECT_TRUE(Lib_Systeme::FolderFound("C:\\Base\\"));
    EXPECT_FALSE(Lib_Systeme::FolderFound("  "));
}

TEST_F(FolderDiscoveryTest, AnExecutableOutsideThePrefixKeepsItsStateInThePrefix) {
    const QString suite = QStringLiteral("C:\\Halvaro\\Velmora\\Settings\\VL3_Postique\\");
    const struct {
        QString app;
        QString settings;
    } cases[] = {
        {kApp, kApp + "Settings\\VL3_Postique\\"},
        {QStringLiteral("C:\\Autre\\Bin\\"),
         QStringLiteral("C:\\Autre\\Bin\\Settings\\VL3_Postique\\")},
        {WinPath::toWindows(QDir::tempPath()) + "\\", suite},
        {QStringLiteral("Z:\\usr\\local\\bin\\"), suite},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgramSettingsFolderFor(c.app), c.settings) << c.app.toStdString();
}
