// The job check: the same reader, routing rule, attachment rules and address parsing as the
// poller and the mail component, applied to each row and written out instead of sent.
#include "app/job_check.h"

#include "automation/jobs/job_file.h"
#include "automation/jobs/job_guard.h"
#include "mail/mime/mime_builder.h"
#include "station/job_dispatch.h"
#include "system/mounts.h"
#include "system/unique_fd.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace automation {

namespace {

QString formatName(const JobReadResult& r) {
    switch (r.format) {
    case JobFormat::OfficeOpenXml:
        return QStringLiteral("classeur Office Open XML (.xlsx)");
    case JobFormat::OpenDocument:
        return QStringLiteral("classeur OpenDocument (.ods)");
    case JobFormat::Delimited:
        break;
    }
    QString encoding;
    switch (r.encoding) {
    case JobEncoding::Utf8:
        encoding = QStringLiteral("UTF-8");
        break;
    case JobEncoding::Utf8Bom:
        encoding = QStringLiteral("UTF-8 avec BOM");
        break;
    case JobEncoding::Utf16LE:
        encoding = QStringLiteral("UTF-16 LE");
        break;
    case JobEncoding::Utf16BE:
        encoding = QStringLiteral("UTF-16 BE");
        break;
    case JobEncoding::Windows1252:
        encoding = QStringLiteral("Windows-1252");
        break;
    }
    const QString delimiter =
        r.delimiter == u'\t' ? QStringLiteral("tabulation") : QString(r.delimiter);
    return QStringLiteral("texte délimité (%1, séparateur « %2 »)").arg(encoding, delimiter);
}

QString shown(const QString& text) {
    return Untrusted::CleanQuoted(text, 200);
}

// The addresses of one list as the mail component will take them, or why it refuses them.
bool parseList(const QString& text, QStringList& addresses, QString& error) {
    QString list = text.trimmed();
    list.replace(u';', u',');
    QList<mail::Mailbox> boxes;
    if (!mail::detail::ParseAddressList(list, boxes, error))
        return false;
    for (const mail::Mailbox& b : boxes)
        addresses << b.address;
    return true;
}

bool readRegularFile(const QString& native, QByteArray& bytes, QString& why) {
    Posix::UniqueFd fd = Posix::UniqueFd::open(native, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (!fd.valid()) {
        why = QStringLiteral("ouverture impossible (%1)")
                  .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        why = QStringLiteral("ce n'est pas un fichier ordinaire");
        return false;
    }
    if (info.st_size > MaxJobBytes) {
        why = QStringLiteral("fichier de %1 octets, plus que la limite de %2")
                  .arg(info.st_size)
                  .arg(MaxJobBytes);
        return false;
    }
    bytes.resize(static_cast<qsizetype>(info.st_size));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::read(fd.get(), bytes.data() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = QStringLiteral("lecture impossible (%1)")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (n == 0)
            break;
        done += n;
    }
    bytes.truncate(done);
    return true;
}

} // namespace

JobCheckReport checkJobBytes(const QByteArray& bytes, const QString& nativeFolder,
                             const QString& jobFileName) {
    JobCheckReport report;
    const JobReadResult read = readJobBytes(bytes);
    if (!read.ok) {
        report.lines
            << QStringLiteral("Le job ne peut pas être chargé : %1").arg(shown(read.error))
            << QStringLiteral(
                   "Le programme le laisserait dans le dossier et le réessaierait à chaque cycle.");
        report.exitCode = JobCheckUnreadable;
        return report;
    }
    const JobSheet& sheet = *read.sheet;
    report.lines
        << QStringLiteral("Format : %1 ; %2 ligne(s).").arg(formatName(read)).arg(sheet.rowCount());
    if (read.format == JobFormat::Delimited && read.recordsLooked > 0)
        report.lines << QStringLiteral(
                            "Séparateur choisi : celui qui découpe en colonnes du job le "
                            "plus des premières lignes (%1 sur %2).")
                            .arg(read.recordsFitting)
                            .arg(read.recordsLooked);

    const QString folder = nativeFolder.endsWith(u'/') ? nativeFolder : nativeFolder + u'/';
    int used = 0, refused = 0, skipped = 0;
    for (int row = 1; row <= sheet.rowCount(); ++row) {
        if (sheet.cell(row, 1).trimmed().isEmpty()) {
            ++skipped;
            continue;
        }
        ++used;
        const QString to = sheet.cell(row, 5);
        const QString partner = sheet.cell(row, 11);
        const QString routed = JobDispatch::RouteTo(to, partner);
        QString route;
        if (partner == u"1")
            route = QStringLiteral(" (réseau partenaire)");
        else if (to.trimmed().isEmpty())
            route = QStringLiteral(" (aucun destinataire : support)");

        QStringList problems;
        QStringList envelope;
        const struct {
            const char16_t* name;
            QString text;
        } lists[] = {{u"A", routed}, {u"Cc", sheet.cell(row, 6)}, {u"Cci", sheet.cell(row, 7)}};
        QStringList listLines;
        for (const auto& l : lists) {
            QStringList addresses;
            QString error;
            if (!parseList(l.text, addresses, error))
                problems << QStringLiteral("%1 refusé : %2")
                                .arg(QString::fromUtf16(l.name), shown(error));
            envelope += addresses;
            if (!l.text.trimmed().isEmpty())
                listLines << QStringLiteral("%1 : %2").arg(QString::fromUtf16(l.name),
                                                           shown(l.text));
        }
        if (problems.isEmpty() && envelope.isEmpty())
            problems << QStringLiteral("aucun destinataire");

        // The attachment as the program takes it: a name that leaves the folder or names no
        // plain file is left out (the mail goes without it, with an incident line).
        const QString attachment = sheet.cell(row, 10);
        QString attachmentLine;
        bool withoutAttachment = false;
        bool waitsForAttachment = false;
        AttachmentName verdict = checkAttachmentName(attachment.trimmed());
        const QString nativeFile = verdict == AttachmentName::Inside
                                       ? WinPath::nativePath(folder + attachment.trimmed())
                                       : QString();
        QString why = QStringLiteral("hors du dossier partagé");
        if (verdict == AttachmentName::Inside &&
            (nativeFile.isEmpty() || !resolvesInside(nativeFolder, nativeFile)))
            verdict = AttachmentName::Refused;
        const QFileInfo info(nativeFile);
        if (verdict == AttachmentName::Inside && info.exists() && !info.isFile()) {
            verdict = AttachmentName::Refused;
            why = QStringLiteral("pas un fichier ordinaire");
        }
        switch (verdict) {
        case AttachmentName::Blank:
            attachmentLine = QStringLiteral("aucune");
            break;
        case AttachmentName::Refused:
            attachmentLine = QStringLiteral("%1 refusée (%2) : le mail partirait sans elle avec "
                                            "une ligne d'incident")
                                 .arg(shown(attachment), why);
            withoutAttachment = true;
            break;
        case AttachmentName::Inside: {
            QFile readable(nativeFile);
            const QStringList others =
                info.isFile() ? jobsNamingAttachment(nativeFolder, nativeFile, jobFileName)
                              : QStringList();
            if (info.isFile() && info.size() > 0 && !readable.open(QIODevice::ReadOnly)) {
                attachmentLine = QStringLiteral("%1 illisible (%2) : la ligne attendrait, avec "
                                                "une ligne d'incident, sans partir sans elle")
                                     .arg(shown(attachment), shown(readable.errorString()));
                waitsForAttachment = true;
            } else if (info.isFile() && info.size() > 0 && !others.isEmpty())
                attachmentLine = QStringLiteral("%1 trouvée (%2 octets), nommée aussi par %3 : "
                                                "supprimée une fois envoyées toutes les lignes "
                                                "de ces jobs qui la nomment")
                                     .arg(shown(attachment))
                                     .arg(info.size())
                                     .arg(shown(others.join(QStringLiteral(", "))));
            else if (info.isFile() && info.size() > 0)
                attachmentLine = QStringLiteral("%1 trouvée (%2 octets), supprimée une fois "
                                                "envoyées toutes les lignes qui la nomment")
                                     .arg(shown(attachment))
                                     .arg(info.size());
            else
                attachmentLine =
                    QStringLiteral("%1 introuvable ou vide : le mail partirait sans elle")
                        .arg(shown(attachment));
            break;
        }
        }

        report.lines << QString();
        report.lines << QStringLiteral("Ligne %1 : %2")
                            .arg(row)
                            .arg(!problems.isEmpty()  ? QStringLiteral("REFUSÉE")
                                 : waitsForAttachment ? QStringLiteral("attendrait sa pièce jointe")
                                 : withoutAttachment
                                     ? QStringLiteral("serait envoyée sans sa pièce jointe")
                                     : QStringLiteral("serait envoyée"));
        for (const QString& l : std::as_const(listLines))
            report.lines << QStringLiteral("  ") + l + (l.startsWith(u"A :") ? route : QString());
        report.lines << QStringLiteral("  Destinataires : %1")
                            .arg(shown(envelope.join(QStringLiteral(", "))));
        report.lines << QStringLiteral("  Objet : Postique: %1").arg(shown(sheet.cell(row, 8)));
        report.lines << QStringLiteral("  Pièce jointe : %1").arg(attachmentLine);
        for (const QString& p : std::as_const(problems))
            report.lines << QStringLiteral("  Problème : ") + p;
        if (!problems.isEmpty())
            ++refused;
    }
    report.lines
        << QString()
        << QStringLiteral(
               "Bilan : %1 ligne(s) utilisée(s), %2 refusée(s), %3 ignorée(s) (colonne 1 vide).")
               .arg(used)
               .arg(refused)
               .arg(skipped);
    if (refused > 0)
        report.exitCode = JobCheckRowRefused;
    return report;
}

JobCheckReport checkJobFile(const QString& path) {
    QString native = path;
    if (!QFileInfo::exists(native)) {
        const QString translated = WinPath::nativePath(path);
        if (!translated.isEmpty())
            native = translated;
    }
    native = QFileInfo(native).absoluteFilePath();
    QByteArray bytes;
    QString why;
    if (!readRegularFile(native, bytes, why)) {
        JobCheckReport report;
        report.lines << QStringLiteral("Job %1 : %2").arg(shown(native), why);
        report.exitCode = JobCheckUnreadable;
        return report;
    }
    JobCheckReport report =
        checkJobBytes(bytes, QFileInfo(native).absolutePath(), QFileInfo(native).fileName());
    // Whether the job lies on a share decides how it is let go once sent.
    report.lines.prepend(QStringLiteral("Système de fichiers : %1")
                             .arg(Posix::describeMount(Posix::mountOf(native))));
    report.lines.prepend(
        QStringLiteral("Job %1 (rien n'est envoyé, supprimé ni noté)").arg(shown(native)));
    return report;
}

} // namespace automation
