// Path and name helpers: pure text functions on the suite's Windows path texts.
#include "system/paths.h"

#include "system/error_reporting.h"

namespace Lib_Public {

RepFicExtRecord RepFicExt;

namespace {

// Trims spaces only (tabs and other blanks are part of a name).
QString trimSpaces(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == u' ')
        ++begin;
    while (end > begin && text.at(end - 1) == u' ')
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

QString CheckRep(const QString& path) {
    QString result;
    Trap(QStringLiteral("Lib_Public:CheckRep"), [&] {
        if (path.isEmpty())
            return;
        if (path.endsWith(QStringLiteral("\\\\")))
            result = path.left(path.size() - 1);
        else if (path.endsWith(u'\\'))
            result = path;
        else
            result = path + u'\\';
    });
    return result;
}

RepFicExtRecord EclateRepFicExt(const QString& fullPath) {
    Trap(QStringLiteral("Lib_Public:EclateRepFicExt"), [&] {
        const QString path = trimSpaces(fullPath);
        RepFicExt.Rep = path;
        RepFicExt.Fic.clear();
        RepFicExt.Ext.clear();
        if (path.isEmpty())
            return;
        qsizetype dot = -1; // index of the extension's dot
        for (qsizetype i = path.size() - 1; i >= 0; --i) {
            const QChar c = path.at(i);
            if (c == u'.' && RepFicExt.Ext.isEmpty()) {
                dot = i;
                RepFicExt.Ext = path.mid(i);
            }
            if (c == u'\\' || i == 0) {
                // Length of the folder part: up to and including this "\", else nothing.
                const qsizetype folderLength = (c == u'\\') ? i + 1 : 0;
                RepFicExt.Rep = path.left(folderLength);
                RepFicExt.Fic = (dot >= 0) ? path.mid(folderLength, dot - folderLength)
                                           : path.mid(folderLength);
                break;
            }
        }
    });
    return RepFicExt;
}

QString NettoieNomDeDossier(const QString& folder) {
    QString name = folder;
    Trap(QStringLiteral("Lib_Public:NettoieNomDeDossier"), [&] {
        for (QChar c : {u'/', u'*', u'?', u'"', u'<', u'>', u'|', u','})
            name.replace(c, u' ');
        name.remove(QStringLiteral("..."));
        name.remove(QStringLiteral(".."));
        name.remove(u'%');
        if (name.size() > 2) {
            // The first two characters are the drive "C:" or the "\\" of a UNC path.
            QString rest = name.mid(2);
            rest.replace(u':', u' ');
            rest.replace(QStringLiteral("   "), QStringLiteral(" "));
            name = name.left(2) + rest;
        }
        while (name.contains(QStringLiteral(" \\")))
            name.replace(QStringLiteral(" \\"), QStringLiteral("\\"));
        name = trimSpaces(name);
    });
    return name;
}

bool NomFichierCorrect(const QString& fileName) {
    bool correct = true;
    Trap(QStringLiteral("Lib_Public:NomFichierCorrect"), [&] {
        for (QChar c : {u'*', u'?', u'"', u'|'}) {
            if (fileName.contains(c))
                correct = false;
        }
    });
    return correct;
}

} // namespace Lib_Public
