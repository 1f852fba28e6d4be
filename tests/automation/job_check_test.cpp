// The job check: what each row would send, refusals and unreadable files, and the real
// program's "--check-job" leaving the job, its attachment and the journal untouched.
#include "app/job_check.h"
#include "station/job_dispatch.h"
#include "support/job_corpus.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using automation::checkJobBytes;
using testsupport::jobRow;

namespace {

bool write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

TEST(JobCheck, TellsWhatEachRowWouldSend) {
    QTemporaryDir dir;
    ASSERT_TRUE(write(dir.filePath("facture.pdf"), "%PDF"));
    ASSERT_TRUE(write(dir.filePath("vide.pdf"), ""));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("sous")));
    ASSERT_TRUE(write(dir.filePath("commune.pdf"), "%PDF-1"));
    ASSERT_TRUE(write(dir.filePath("Email_autre.ss8"),
                      jobRow("1", "z@example.org", {}, {}, "s", "B", "COMMUNE.pdf")));
    const QString support = JobDispatch::SupportMailbox();
    const QString partner = JobDispatch::PartnerItMailbox();
    struct Case {
        const char* what;
        QByteArray job;
        int exitCode;
        QStringList expected; // pieces of the report, in order
    };
    const std::vector<Case> cases = {
        {"found attachment, skipped row, support and partner routing",
         jobRow("1", "a@example.org", "c@example.org", {}, "Sujet", "B", "facture.pdf") +
             jobRow(" ", "x@example.org", {}, {}, "skipped", "B") +
             jobRow("1", {}, {}, {}, "Sans", "B") +
             jobRow("1", "b@example.org", {}, {}, "Part", "B", {}, "1"),
         automation::JobCheckFine,
         {"texte délimité (UTF-8, séparateur « ; »)", "Ligne 1 : serait envoyée",
          "A : a@example.org", "Cc : c@example.org", "Destinataires : a@example.org, c@example.org",
          "Objet : Postique: Sujet", "facture.pdf trouvée (4 octets)", "Ligne 3 : serait envoyée",
          "(aucun destinataire : support)", "Destinataires : " + support, "Ligne 4",
          "(réseau partenaire)", "Destinataires : " + partner,
          "Bilan : 3 ligne(s) utilisée(s), 0 refusée(s), 1 ignorée(s)"}},
        {"missing or empty attachment goes without it",
         jobRow("1", "a@example.org", {}, {}, "s", "B", "absent.pdf") +
             jobRow("1", "a@example.org", {}, {}, "s", "B", "vide.pdf"),
         automation::JobCheckFine,
         {"absent.pdf introuvable ou vide", "vide.pdf introuvable ou vide"}},
        {"attachment leaving the folder or naming a folder: sent without it, as the program does",
         jobRow("1", "a@example.org", {}, {}, "s", "B", "..\\secret.txt") +
             jobRow("1", "a@example.org", {}, {}, "s", "B", "sous"),
         automation::JobCheckFine,
         {"Ligne 1 : serait envoyée sans sa pièce jointe",
          "..\\secret.txt refusée (hors du dossier partagé)",
          "Ligne 2 : serait envoyée sans sa pièce jointe",
          "sous refusée (pas un fichier ordinaire)", "0 refusée(s)"}},
        {"attachment another job names too: deleted by the last of them",
         jobRow("1", "a@example.org", {}, {}, "s", "B", "commune.pdf"),
         automation::JobCheckFine,
         {"commune.pdf trouvée (6 octets), nommée aussi par Email_autre.ss8"}},
        {"address the mail component refuses",
         jobRow("1", "pas une adresse", {}, {}, "s", "B") +
             jobRow("1", "ok@example.org", {}, "x@", "s", "B"),
         automation::JobCheckRowRefused,
         {"Ligne 1 : REFUSÉE", "Problème : A refusé", "Ligne 2 : REFUSÉE", "Problème : Cci refusé",
          "2 refusée(s)"}},
        {"a title line holding a comma leaves \";\" the delimiter and sends nothing",
         "Envoi du 9/12, station A\r\n" + jobRow("1", "a@example.org", {}, {}, "s", "B, C"),
         automation::JobCheckFine,
         {"séparateur « ; »", "(1 sur 2)", "Ligne 2 : serait envoyée", "A : a@example.org",
          "1 ligne(s) utilisée(s), 0 refusée(s), 1 ignorée(s)"}},
        {"unreadable job",
         "1;\"never closed\r\n",
         automation::JobCheckUnreadable,
         {"Le job ne peut pas être chargé : unterminated quoted field starting on line 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto report = checkJobBytes(c.job, dir.path());
        EXPECT_EQ(report.exitCode, c.exitCode);
        const QString text = report.lines.join(u'\n');
        qsizetype at = 0;
        for (const QString& piece : c.expected) {
            const qsizetype found = text.indexOf(piece, at);
            EXPECT_GE(found, 0) << "missing after offset " << at << ": " << piece.toStdString()
                                << "\n"
                                << text.toStdString();
            if (found >= 0)
                at = found + piece.size();
        }
    }
}

TEST(JobCheck, FilesThatCannotBeRead) {
    QTemporaryDir dir;
    for (const QString& path : {dir.filePath("absent.ss8"), dir.path()}) {
        const auto report = automation::checkJobFile(path);
        EXPECT_EQ(report.exitCode, automation::JobCheckUnreadable) << path.toStdString();
    }
}

TEST(JobCheck, ProgramChecksWithoutTouchingAnything) {
    QTemporaryDir dir;
    const QString job = dir.filePath("Email_1.ss8");
    const QByteArray bytes = jobRow("1", "a@example.org", {}, {}, "Sujet", "B", "pj.txt") +
                             jobRow("1", "a@example.org", {}, {}, "Autre", "B", "/etc/passwd");
    ASSERT_TRUE(write(job, bytes));
    ASSERT_TRUE(write(dir.filePath("pj.txt"), "pièce"));
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    QTemporaryDir prefix;
    env.insert(QStringLiteral("VELMORA_PREFIX"), prefix.path());
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(POSTIQUE_EXECUTABLE), {QStringLiteral("--check-job"), job});
    ASSERT_TRUE(program.waitForFinished(60000));
    const QString out = QString::fromUtf8(program.readAllStandardOutput());
    EXPECT_EQ(program.exitCode(), automation::JobCheckFine) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("Ligne 1 : serait envoyée"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("pj.txt trouvée"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("Ligne 2 : serait envoyée sans sa pièce jointe")))
        << out.toStdString();
    QFile kept(job);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), bytes);
    EXPECT_TRUE(QFile::exists(dir.filePath("pj.txt")));
    EXPECT_EQ(
        QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(),
        2)
        << "no journal, lock or note left beside the job";
}

} // namespace
