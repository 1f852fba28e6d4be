// The private-profile engine: INI files read and written line by line, keeping every line
// that a write does not concern exactly as it was.
#include "system/ini.h"

#include "system/atomicfile.h"
#include "system/error_reporting.h"
#include "system/files.h"
#include "system/paths.h"
#include "system/sysinfo.h"
#include "system/textfile.h"
#include "system/winpath.h"

namespace Lib_Systeme {

namespace {

constexpr qsizetype kMaxValueLength = 254;

enum class Kind { Blank, Comment, Section, Key };

struct ParsedLine {
    Kind kind = Kind::Blank;
    QString name;
    QString value;
    bool hasValue = false;
};

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

QString trimBlanks(QStringView text) {
    qsizetype start = 0, end = text.size();
    while (start < end && isBlank(text[start]))
        ++start;
    while (end > start && isBlank(text[end - 1]))
        --end;
    return text.mid(start, end - start).toString();
}

ParsedLine parseLine(const QString& line) {
    ParsedLine p;
    const QString text = trimBlanks(line);
    if (text.isEmpty())
        return p;
    if (text.startsWith(u';')) {
        p.kind = Kind::Comment;
        return p;
    }
    if (text.startsWith(u'[')) {
        const qsizetype close = text.lastIndexOf(u']');
        if (close > 0) {
            p.kind = Kind::Section;
            p.name = trimBlanks(QStringView(text).mid(1, close - 1));
            return p;
        }
    }
    p.kind = Kind::Key;
    const qsizetype eq = text.indexOf(u'=');
    if (eq < 0) {
        p.name = text;
        return p;
    }
    p.name = trimBlanks(QStringView(text).left(eq));
    p.value = trimBlanks(QStringView(text).mid(eq + 1));
    p.hasValue = true;
    return p;
}

bool sameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString unquote(const QString& value) {
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front())
        return value.mid(1, value.size() - 2);
    return value;
}

// What a read hands back: at most 254 characters.
QString capped(const QString& value) {
    return value.left(kMaxValueLength);
}

QString cleanDefault(const QString& defaultValue) {
    QString d = defaultValue;
    while (!d.isEmpty() && isBlank(d.back()))
        d.chop(1);
    return capped(unquote(d));
}

// Line breaks and NUL would cut a line in two or end it early.
QString oneLine(const QString& text) {
    QString out = text;
    for (QChar& c : out)
        if (c == u'\r' || c == u'\n' || c == QChar(0))
            c = u' ';
    return out;
}

// The Windows text of the file: a bare file name lies in the Windows folder.
QString fullFileText(const QString& filePath) {
    if (filePath.contains(u'\\') || filePath.contains(u'/') || filePath.contains(u':'))
        return filePath;
    return GetWinDir() + u'\\' + filePath;
}

// Index of the header line of the first section called `section`, or -1.
qsizetype findSection(const TextFile::Document& doc, const QString& section) {
    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
        const ParsedLine p = parseLine(doc.lines[i].text);
        if (p.kind == Kind::Section && sameName(p.name, section))
            return static_cast<qsizetype>(i);
    }
    return -1;
}

// Index just past the last line of the section whose header is at `header`.
qsizetype sectionEnd(const TextFile::Document& doc, qsizetype header) {
    qsizetype i = header + 1;
    while (i < static_cast<qsizetype>(doc.lines.size()) &&
           parseLine(doc.lines[i].text).kind != Kind::Section)
        ++i;
    return i;
}

} // namespace

namespace IniText {

std::optional<QString> readValue(const QByteArray& bytes, const QString& section,
                                 const QString& key) {
    const TextFile::Document doc = TextFile::decode(bytes);
    const qsizetype header = findSection(doc, section);
    if (header < 0)
        return std::nullopt;
    const qsizetype end = sectionEnd(doc, header);
    for (qsizetype i = header + 1; i < end; ++i) {
        const ParsedLine p = parseLine(doc.lines[i].text);
        if (p.kind == Kind::Key && sameName(p.name, key))
            return p.hasValue ? std::optional<QString>(p.value) : std::nullopt;
    }
    return std::nullopt;
}

QByteArray writeValue(const std::optional<QByteArray>& current, const QString& section,
                      const QString& key, const QString& value) {
    const QString crlf = QStringLiteral("\r\n");
    TextFile::Document doc;
    if (current)
        doc = TextFile::decode(*current);
    const QString keyLine = trimBlanks(key) + u'=' + value;
    const qsizetype header = findSection(doc, section);
    if (header >= 0) {
        const qsizetype end = sectionEnd(doc, header);
        qsizetype lastFilled = header;
        for (qsizetype i = header + 1; i < end; ++i) {
            const ParsedLine p = parseLine(doc.lines[i].text);
            if (p.kind == Kind::Key && sameName(p.name, key)) {
                doc.lines[i].text = p.name + u'=' + value;
                return TextFile::encode(doc);
            }
            if (p.kind != Kind::Blank)
                lastFilled = i;
        }
        if (doc.lines[lastFilled].eol.isEmpty())
            doc.lines[lastFilled].eol = crlf;
        doc.lines.insert(doc.lines.begin() + lastFilled + 1, TextFile::Line{keyLine, crlf});
        return TextFile::encode(doc);
    }
    if (!doc.lines.empty() && doc.lines.back().eol.isEmpty())
        doc.lines.back().eol = crlf;
    doc.lines.push_back(TextFile::Line{u'[' + trimBlanks(section) + u']', crlf});
    doc.lines.push_back(TextFile::Line{keyLine, crlf});
    return TextFile::encode(doc);
}

} // namespace IniText

namespace {

// One locked read-modify-write; false when the file cannot be written (its folder is
// missing, it is read-only, ...).
bool writeOnce(const QString& fileText, const QString& section, const QString& key,
               const QString& value) {
    const WinPath::Translation t = WinPath::toNative(fileText);
    if (!t.ok)
        return false;
    if (const auto attrs = WinPath::readAttributes(t.native)) {
        if (*attrs & (WinPath::AttrReadOnly | WinPath::AttrDirectory))
            return false;
    }
    QString error;
    return AtomicFile::update(
        t.native,
        [&](const std::optional<QByteArray>& current) -> std::optional<QByteArray> {
            return IniText::writeValue(current, section, key, value);
        },
        &error);
}

} // namespace

QString LectureIni(const QString& filePath, const QString& section, const QString& key,
                   const QString& defaultValue) {
    if (!Lib_Public::NomFichierCorrect(filePath))
        return defaultValue;
    QString result;
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:LectureIni"), [&] {
        result = cleanDefault(defaultValue);
        const QString native = WinPath::nativePath(fullFileText(filePath));
        if (native.isEmpty())
            return;
        const std::optional<QByteArray> bytes = AtomicFile::readAll(native);
        if (!bytes)
            return;
        if (const std::optional<QString> value = IniText::readValue(*bytes, section, key))
            result = capped(unquote(*value));
    });
    return result;
}

bool EcritureIni(const QString& filePath, const QString& section, const QString& key,
                 const QString& value) {
    bool done = false;
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:EcritureIni"), [&] {
        if (section.trimmed().isEmpty() || key.trimmed().isEmpty() ||
            !Lib_Public::NomFichierCorrect(filePath))
            return;
        const QString fileText = fullFileText(filePath);
        const QString s = oneLine(section), k = oneLine(key), v = oneLine(value);
        done = writeOnce(fileText, s, k, v);
        if (done)
            return;
        const qsizetype slash = fileText.lastIndexOf(u'\\');
        VerificationEtCreationRepertoire(fileText.left(slash + 1), true);
        done = writeOnce(fileText, s, k, v);
        if (done)
            return;
        File_RemoveFlag(fileText, 1);
        done = writeOnce(fileText, s, k, v);
    });
    return done;
}

} // namespace Lib_Systeme
