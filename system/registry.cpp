// Registry keys and values in REGEDIT4 text hives: parsing, in-place update and the status
// codes of the registry functions.
#include "system/registry.h"

#include "system/atomicfile.h"
#include "system/error_reporting.h"
#include "system/textfile.h"
#include "system/winpath.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <functional>
#include <utility>

#include <unistd.h>

namespace Lib_Systeme {

namespace {

qint32& platformId() {
    static qint32 id = 0;
    return id;
}

struct Hive {
    QString file;     // native path of the hive
    QString rootName; // "HKEY_LOCAL_MACHINE", ...
    QString keyPath;  // full key path as written between brackets
};

struct Value {
    QString name; // "" for the unnamed value
    qint32 type = REG_SZ;
    QString text;       // REG_SZ text, or decoded hex text
    quint32 number = 0; // REG_DWORD
    qsizetype firstLine = 0, lastLine = 0;
    bool deleted = false;
};

QString normalisedSubKey(const QString& subKey) {
    QStringList parts;
    for (const QString& p : subKey.split(u'\\'))
        if (!p.isEmpty())
            parts << p;
    return parts.join(u'\\');
}

std::optional<Hive> hiveFor(qint32 root, const QString& subKey) {
    if (root == 0) {
        if (platformId() == 1)
            root = HKEY_LOCAL_MACHINE;
        else if (platformId() == 2)
            root = HKEY_CURRENT_USER;
        else
            return std::nullopt;
    }
    Hive h;
    QString sub = normalisedSubKey(subKey);
    if (root == HKEY_CLASSES_ROOT) {
        root = HKEY_LOCAL_MACHINE;
        sub = sub.isEmpty() ? QStringLiteral("Software\\Classes")
                            : QStringLiteral("Software\\Classes\\") + sub;
    }
    if (root == HKEY_LOCAL_MACHINE) {
        h.file = WinPath::prefix() + QStringLiteral("/system.reg");
        h.rootName = QStringLiteral("HKEY_LOCAL_MACHINE");
    } else if (root == HKEY_CURRENT_USER) {
        h.file = WinPath::prefix() + QStringLiteral("/user.reg");
        h.rootName = QStringLiteral("HKEY_CURRENT_USER");
    } else {
        return std::nullopt;
    }
    h.keyPath = sub.isEmpty() ? h.rootName : h.rootName + u'\\' + sub;
    return h;
}

QString trimmed(const QString& s) {
    return s.trimmed();
}

// The key path of a "[...]" header line, or empty.
std::optional<QString> headerKey(const QString& line) {
    const QString t = trimmed(line);
    if (t.size() < 2 || !t.startsWith(u'[') || !t.endsWith(u']'))
        return std::nullopt;
    const QString inner = t.mid(1, t.size() - 2);
    if (inner.startsWith(u'-'))
        return QString(); // a deletion entry: not a key
    return normalisedSubKey(inner);
}

qsizetype findKey(const TextFile::Document& doc, const QString& keyPath) {
    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
        const auto key = headerKey(doc.lines[i].text);
        if (key && !key->isEmpty() && key->compare(keyPath, Qt::CaseInsensitive) == 0)
            return static_cast<qsizetype>(i);
    }
    return -1;
}

qsizetype keyEnd(const TextFile::Document& doc, qsizetype header) {
    qsizetype i = header + 1;
    while (i < static_cast<qsizetype>(doc.lines.size()) && !headerKey(doc.lines[i].text))
        ++i;
    return i;
}

// Reads a quoted REGEDIT4 string at `pos` (which holds the opening quote); moves `pos`
// past the closing quote. Empty when the string is not closed.
std::optional<QString> readQuoted(const QString& line, qsizetype& pos) {
    QString out;
    for (qsizetype i = pos + 1; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == u'\\' && i + 1 < line.size()) {
            out += line[++i];
        } else if (c == u'"') {
            pos = i + 1;
            return out;
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

QString quoted(const QString& text) {
    QString out = QStringLiteral("\"");
    for (QChar c : text) {
        if (c == u'\\' || c == u'"')
            out += u'\\';
        out += c;
    }
    return out + u'"';
}

QString bytesToText(QByteArray bytes) {
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    // A leading U+FEFF is the value's own first character, not a byte-order mark.
    bool valid = false;
    const QString text = TextFile::fromUtf8Exact(bytes, &valid);
    return valid ? text : TextFile::fromWindows1252(bytes);
}

// The name ("" for "@") and the data text of the value line `t` (trimmed), or nothing when
// the line is not "name=data".
std::optional<std::pair<QString, QString>> splitValueLine(const QString& t) {
    QString name;
    qsizetype pos = 0;
    if (t.startsWith(u'@')) {
        pos = 1;
    } else if (t.startsWith(u'"')) {
        const auto quotedName = readQuoted(t, pos);
        if (!quotedName)
            return std::nullopt;
        name = *quotedName;
    } else {
        return std::nullopt;
    }
    while (pos < t.size() && t[pos].isSpace())
        ++pos;
    if (pos >= t.size() || t[pos] != u'=')
        return std::nullopt;
    return std::pair{name, trimmed(t.mid(pos + 1))};
}

// True when the value line `logical` goes on in the next line: only hex data is wrapped
// ("hex:01,02,\"); a backslash that ends a text or a comment belongs to that line.
bool continues(const QString& logical) {
    const QString t = trimmed(logical);
    if (!t.endsWith(u'\\'))
        return false;
    const auto parts = splitValueLine(t);
    return parts && parts->second.startsWith(QLatin1String("hex"), Qt::CaseInsensitive);
}

std::optional<Value> parseValue(const QString& logical) {
    Value v;
    const auto parts = splitValueLine(trimmed(logical));
    if (!parts)
        return std::nullopt;
    v.name = parts->first;
    const QString& data = parts->second;
    if (data == u"-") {
        v.deleted = true;
        return v;
    }
    if (data.startsWith(u'"')) {
        qsizetype p = 0;
        const auto text = readQuoted(data, p);
        if (!text)
            return std::nullopt;
        v.type = REG_SZ;
        v.text = *text;
        return v;
    }
    if (data.startsWith(QLatin1String("dword:"), Qt::CaseInsensitive)) {
        bool ok = false;
        v.number = data.mid(6).trimmed().toUInt(&ok, 16);
        if (!ok)
            return std::nullopt;
        v.type = REG_DWORD;
        return v;
    }
    if (data.startsWith(QLatin1String("hex"), Qt::CaseInsensitive)) {
        const qsizetype colon = data.indexOf(u':');
        if (colon < 0)
            return std::nullopt;
        const QString kind = data.mid(3, colon - 3);
        v.type = REG_BINARY;
        if (!kind.isEmpty()) {
            bool ok = false;
            if (!kind.startsWith(u'(') || !kind.endsWith(u')'))
                return std::nullopt;
            v.type = static_cast<qint32>(kind.mid(1, kind.size() - 2).toUInt(&ok, 16));
            if (!ok)
                return std::nullopt;
        }
        QByteArray bytes;
        for (const QString& b : data.mid(colon + 1).split(u',', Qt::SkipEmptyParts)) {
            bool ok = false;
            const uint byte = b.trimmed().toUInt(&ok, 16);
            if (!ok || byte > 0xff)
                return std::nullopt;
            bytes += static_cast<char>(byte);
        }
        v.text = bytesToText(bytes);
        return v;
    }
    return std::nullopt;
}

// The values of the key whose header is at `header`, continuation lines joined.
std::vector<Value> valuesOf(const TextFile::Document& doc, qsizetype header) {
    std::vector<Value> out;
    const qsizetype end = keyEnd(doc, header);
    for (qsizetype i = header + 1; i < end; ++i) {
        const qsizetype first = i;
        QString logical = doc.lines[i].text;
        // Each line that ends with a backslash announces the next one; a blank line ends it.
        bool goesOn = continues(logical);
        while (goesOn && i + 1 < end) {
            logical = logical.trimmed();
            logical.chop(1);
            const QString next = doc.lines[++i].text.trimmed();
            logical += next;
            goesOn = next.endsWith(u'\\');
        }
        if (auto v = parseValue(logical)) {
            v->firstLine = first;
            v->lastLine = i;
            out.push_back(*v);
        }
    }
    return out;
}

std::optional<Value> findValue(const TextFile::Document& doc, qsizetype header,
                               const QString& name) {
    for (const Value& v : valuesOf(doc, header))
        if (v.name.compare(name, Qt::CaseInsensitive) == 0)
            return v.deleted ? std::nullopt : std::optional<Value>(v);
    return std::nullopt;
}

QString hexLine(const QString& name, qint32 type, const QByteArray& bytes) {
    QString line = (name.isEmpty() ? QStringLiteral("@") : quoted(name)) +
                   QStringLiteral("=hex(%1):").arg(type, 0, 16);
    QStringList parts;
    for (char b : bytes)
        parts << QStringLiteral("%1").arg(static_cast<uchar>(b), 2, 16, QChar(u'0'));
    return line + parts.join(u',');
}

// Makes sure the key exists in the document; returns its header index.
qsizetype ensureKey(TextFile::Document& doc, const QString& keyPath) {
    const QString crlf = QStringLiteral("\r\n");
    qsizetype header = findKey(doc, keyPath);
    if (header >= 0)
        return header;
    if (doc.lines.empty())
        doc.lines.push_back(TextFile::Line{QStringLiteral("REGEDIT4"), crlf});
    if (doc.lines.back().eol.isEmpty())
        doc.lines.back().eol = crlf;
    doc.lines.push_back(TextFile::Line{QString(), crlf});
    doc.lines.push_back(TextFile::Line{u'[' + keyPath + u']', crlf});
    return static_cast<qsizetype>(doc.lines.size()) - 1;
}

// The prefix folder exists and the hive, when present, may be written: an administrator
// protects a hive by taking its write permission away.
bool hiveWritable(const Hive& hive) {
    if (!QDir().mkpath(WinPath::prefix()))
        return false;
    const QByteArray path = QFile::encodeName(hive.file);
    return ::access(path.constData(), F_OK) != 0 || ::access(path.constData(), W_OK) == 0;
}

// The hive with the value line of `name` in `keyPath` replaced (keeping the name as spelled
// in the hive) or appended after the key's last filled line; the key is created when missing.
QByteArray withValueLine(const std::optional<QByteArray>& current, const QString& keyPath,
                         const QString& name,
                         const std::function<QString(const QString&)>& lineFor) {
    TextFile::Document doc;
    if (current)
        doc = TextFile::decode(*current);
    const qsizetype header = ensureKey(doc, keyPath);
    const QString crlf = QStringLiteral("\r\n");
    for (const Value& v : valuesOf(doc, header)) {
        if (v.name.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        const QString eol = doc.lines[v.lastLine].eol;
        doc.lines.erase(doc.lines.begin() + v.firstLine, doc.lines.begin() + v.lastLine + 1);
        doc.lines.insert(doc.lines.begin() + v.firstLine,
                         TextFile::Line{lineFor(v.name), eol.isEmpty() ? crlf : eol});
        return TextFile::encode(doc);
    }
    qsizetype last = header;
    const qsizetype end = keyEnd(doc, header);
    for (qsizetype i = header + 1; i < end; ++i)
        if (!doc.lines[i].text.trimmed().isEmpty())
            last = i;
    if (doc.lines[last].eol.isEmpty())
        doc.lines[last].eol = crlf;
    // A last line that goes on ("hex:41,\") would take the new line in: a blank line ends it.
    if (doc.lines[last].text.trimmed().endsWith(u'\\')) {
        ++last;
        doc.lines.insert(doc.lines.begin() + last, TextFile::Line{QString(), crlf});
    }
    doc.lines.insert(doc.lines.begin() + last + 1, TextFile::Line{lineFor(name), crlf});
    return TextFile::encode(doc);
}

} // namespace

namespace HiveText {

std::optional<HiveValue> readValue(const QByteArray& hive, const QString& keyPath,
                                   const QString& name) {
    const TextFile::Document doc = TextFile::decode(hive);
    const qsizetype header = findKey(doc, keyPath);
    if (header < 0)
        return std::nullopt;
    const std::optional<Value> v = findValue(doc, header, name);
    if (!v)
        return std::nullopt;
    return HiveValue{v->type, v->text, v->number};
}

QByteArray withString(const std::optional<QByteArray>& hive, const QString& keyPath,
                      const QString& name, const QString& value) {
    bool control = false;
    for (QChar c : value)
        control = control || c.unicode() < 0x20;
    // Line breaks cannot stand in a quoted REGEDIT4 string: such a text is kept as the bytes
    // of a REG_SZ.
    return withValueLine(hive, keyPath, name, [control, &value](const QString& spelled) {
        return control ? hexLine(spelled, REG_SZ, value.toUtf8() + '\0')
                       : quoted(spelled) + u'=' + quoted(value);
    });
}

QByteArray withDword(const std::optional<QByteArray>& hive, const QString& keyPath,
                     const QString& name, quint32 number) {
    return withValueLine(hive, keyPath, name, [number](const QString& spelled) {
        return quoted(spelled) + QStringLiteral("=dword:%1").arg(number, 8, 16, QChar(u'0'));
    });
}

} // namespace HiveText

void SetRegistryPlatformId(qint32 id) {
    platformId() = id;
}
qint32 RegistryPlatformId() {
    return platformId();
}

qint32 Reg_GetValue(qint32 root, const QString& subKey, const QString& valueName, QString& value) {
    qint32 status = 0;
    value.clear();
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:Reg_GetValue"), [&] {
        if (subKey.isEmpty()) {
            status = RegStatusBadKey;
            return;
        }
        const std::optional<Hive> hive = hiveFor(root, subKey);
        if (!hive) {
            status = root == 0 ? 0 : RegStatusInvalidHandle;
            return;
        }
        TextFile::Document doc;
        const std::optional<QByteArray> bytes = AtomicFile::readAll(hive->file);
        if (bytes)
            doc = TextFile::decode(*bytes);
        qsizetype header = findKey(doc, hive->keyPath);
        if (header < 0) {
            // Opening creates the key, as RegCreateKey does.
            const bool created =
                hiveWritable(*hive) &&
                AtomicFile::update(
                    hive->file,
                    [&](const std::optional<QByteArray>& current) -> std::optional<QByteArray> {
                        doc = current ? TextFile::decode(*current) : TextFile::Document{};
                        if (findKey(doc, hive->keyPath) >= 0)
                            return std::nullopt;
                        ensureKey(doc, hive->keyPath);
                        return TextFile::encode(doc);
                    });
            if (!created) {
                status = RegStatusAccessDenied;
                return;
            }
            header = findKey(doc, hive->keyPath);
            if (header < 0)
                return;
        }
        const std::optional<Value> v = findValue(doc, header, valueName);
        if (!v)
            return;
        if (v->type == REG_SZ || v->type == REG_EXPAND_SZ)
            value = v->text;
        else if (v->type == REG_DWORD)
            value = QString::number(static_cast<qint32>(v->number));
        else
            status = RegStatusMoreData;
    });
    return status;
}

bool Reg_QueryValue(qint32 root, const QString& subKey, const QString& valueName, qint32& type,
                    QString& text, quint32& number) {
    type = 0;
    text.clear();
    number = 0;
    const std::optional<Hive> hive = hiveFor(root, subKey);
    if (!hive || subKey.isEmpty())
        return false;
    const std::optional<QByteArray> bytes = AtomicFile::readAll(hive->file);
    if (!bytes)
        return false;
    const TextFile::Document doc = TextFile::decode(*bytes);
    const qsizetype header = findKey(doc, hive->keyPath);
    if (header < 0)
        return false;
    const std::optional<Value> v = findValue(doc, header, valueName);
    if (!v)
        return false;
    type = v->type;
    text = v->text;
    number = v->number;
    return true;
}

qint32 Reg_SetValue(qint32 root, const QString& subKey, const QString& valueName,
                    const QString& value, qint32 type) {
    qint32 status = 0;
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:Reg_SetValue"), [&] {
        if (subKey.isEmpty() || valueName.isEmpty()) {
            status = RegStatusBadKey;
            return;
        }
        const std::optional<Hive> hive = hiveFor(root, subKey);
        if (!hive) {
            status = RegStatusInvalidHandle;
            return;
        }
        std::optional<quint32> dword;
        if (type == REG_DWORD) {
            qint64 number = 0;
            if (!value.trimmed().isEmpty()) {
                bool ok = false;
                number = value.trimmed().toLongLong(&ok);
                if (!ok || number < -2147483648LL || number > 4294967295LL) {
                    status = RegStatusInvalidData;
                    return;
                }
            }
            dword = static_cast<quint32>(number);
        }
        const bool written =
            hiveWritable(*hive) &&
            AtomicFile::update(
                hive->file,
                [&](const std::optional<QByteArray>& current) -> std::optional<QByteArray> {
                    return dword ? HiveText::withDword(current, hive->keyPath, valueName, *dword)
                                 : HiveText::withString(current, hive->keyPath, valueName, value);
                });
        if (!written)
            status = RegStatusAccessDenied;
    });
    return status;
}

} // namespace Lib_Systeme
