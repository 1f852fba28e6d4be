// Workbook reading: the container is found by its manifest, the parts are streamed from the
// archive into QXmlStreamReader (no document type declaration accepted, so no entity can
// expand), and the first worksheet's texts go into a job sheet within fixed limits.
#include "automation/jobs/workbook_reader.h"

#include <QDateTime>
#include <QHash>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <cmath>
#include <optional>
#include <vector>

namespace automation {

namespace {

// Fills the job sheet row by row; only texts are held, blanks before them are padding.
class SheetBuilder {
public:
    explicit SheetBuilder(const WorkbookLimits& limits)
        : limits_(limits), sheet_(std::make_shared<JobSheet>()) {}

    // Puts `text` at `row`, `column` (from 1). Rows come in ascending order.
    bool put(int row, int column, QString text, QString& error) {
        if (row < 1 || row > limits_.maxRows) {
            error = QStringLiteral("row %1 is beyond the limit of %2 rows")
                        .arg(row)
                        .arg(limits_.maxRows);
            return false;
        }
        if (column < 1 || column > limits_.maxColumns) {
            error = QStringLiteral("column %1 is beyond the limit of %2 columns")
                        .arg(column)
                        .arg(limits_.maxColumns);
            return false;
        }
        if (text.isEmpty())
            return true;
        if (row < currentRow_) {
            error = QStringLiteral("row %1 comes after row %2").arg(row).arg(currentRow_);
            return false;
        }
        if (row > currentRow_) {
            flush();
            currentRow_ = row;
        }
        const auto width = static_cast<qint64>(current_.size());
        if (column > width) {
            cells_ += column - width;
            if (cells_ > limits_.maxCells) {
                error = QStringLiteral("more than %1 cells").arg(limits_.maxCells);
                return false;
            }
            current_.resize(static_cast<size_t>(column));
        }
        current_[static_cast<size_t>(column - 1)] = std::move(text);
        return true;
    }

    std::shared_ptr<JobSheet> finish() {
        flush();
        return std::move(sheet_);
    }

private:
    void flush() {
        if (current_.empty())
            return;
        while (appended_ + 1 < currentRow_) {
            sheet_->appendRow({});
            ++appended_;
        }
        sheet_->appendRow(current_);
        current_.clear();
        ++appended_;
    }

    const WorkbookLimits& limits_;
    std::shared_ptr<JobSheet> sheet_;
    JobSheet::Row current_;
    int currentRow_ = 0;
    int appended_ = 0;
    qint64 cells_ = 0;
};

// One XML part of the archive, streamed.
class Part {
public:
    Part(ZipArchive& zip, const QString& name) : name_(name) {
        const ZipEntry* entry = zip.find(name);
        if (!entry) {
            error_ = QStringLiteral("%1 is missing").arg(name);
            return;
        }
        device_ = zip.openEntry(*entry, error_);
        if (device_)
            xml.setDevice(device_.get());
    }
    bool ok() const { return device_ != nullptr && error_.isEmpty(); }

    // The next token; false at the end of the part or on an error (see error()). A document
    // type declaration is refused outright: the formats have none, and entities declared in
    // one are how a small file expands without bound.
    bool next() {
        if (!error_.isEmpty())
            return false;
        const QXmlStreamReader::TokenType t = xml.readNext();
        if (t == QXmlStreamReader::DTD || t == QXmlStreamReader::EntityReference) {
            error_ = QStringLiteral("%1: line %2: document type declarations are not accepted")
                         .arg(name_)
                         .arg(xml.lineNumber());
            return false;
        }
        if (t == QXmlStreamReader::Invalid || xml.hasError()) {
            if (device_ && device_->failed())
                error_ = device_->error();
            else
                error_ = QStringLiteral("%1: line %2: %3")
                             .arg(name_)
                             .arg(xml.lineNumber())
                             .arg(xml.errorString());
            return false;
        }
        return t != QXmlStreamReader::EndDocument;
    }
    // Reads on to the end of the current element, appending the text of the elements that
    // `keep` accepts (by local name) and skipping those that `skip` names.
    // `keepOwn` keeps the current element's own text too.
    template <class Keep, class Skip>
    bool collectText(QString& out, Keep keep, Skip skip, qint64 maxChars, bool keepOwn = false) {
        int depth = 1;
        int kept = keepOwn ? 1 : 0;
        while (depth > 0 && next()) {
            if (xml.isStartElement()) {
                if (skip(xml.name())) {
                    if (!skipElement())
                        return false;
                    continue;
                }
                ++depth;
                if (keep(xml.name()))
                    ++kept;
            } else if (xml.isEndElement()) {
                --depth;
                if (depth > 0 && keep(xml.name()))
                    --kept;
            } else if (xml.isCharacters() && kept > 0) {
                out += xml.text();
                if (out.size() > maxChars) {
                    error_ = QStringLiteral("%1: line %2: text longer than %3 characters")
                                 .arg(name_)
                                 .arg(xml.lineNumber())
                                 .arg(maxChars);
                    return false;
                }
            }
        }
        return error_.isEmpty();
    }
    bool skipElement() {
        int depth = 1;
        while (depth > 0 && next()) {
            if (xml.isStartElement())
                ++depth;
            else if (xml.isEndElement())
                --depth;
        }
        return error_.isEmpty();
    }
    // The text of the current element without its markup (child elements' text included).
    bool elementText(QString& out, qint64 maxChars) {
        return collectText(
            out, [](QStringView) { return true; }, [](QStringView) { return false; }, maxChars,
            true);
    }
    void fail(const QString& why) {
        if (error_.isEmpty())
            error_ = QStringLiteral("%1: line %2: %3").arg(name_).arg(xml.lineNumber()).arg(why);
    }
    QString error() const { return error_; }
    QString attribute(QStringView localName) const {
        const QXmlStreamAttributes attrs = xml.attributes();
        for (const QXmlStreamAttribute& a : attrs)
            if (a.name() == localName)
                return a.value().toString();
        return {};
    }

    QXmlStreamReader xml;

private:
    QString name_;
    std::unique_ptr<ZipEntryDevice> device_;
    QString error_;
};

// Longest text of one cell: far beyond any mail, short of harm.
constexpr qint64 kMaxCellChars = qint64{16} * 1024 * 1024;

// ---------------------------------------------------------------- Office Open XML

// "_xHHHH_" escapes of characters that XML cannot carry.
QString decodeEscapes(QString text) {
    if (!text.contains(QStringLiteral("_x")))
        return text;
    static const QRegularExpression escape(QStringLiteral("_x([0-9A-Fa-f]{4})_"));
    QString out;
    qsizetype last = 0;
    auto it = escape.globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        out += QStringView(text).mid(last, m.capturedStart() - last);
        out += QChar(static_cast<char16_t>(m.captured(1).toUShort(nullptr, 16)));
        last = m.capturedEnd();
    }
    out += QStringView(text).mid(last);
    return out;
}

// The part a relationship target names, from the folder of the part that holds it.
QString resolvePart(const QString& baseFolder, const QString& target) {
    QString path = target.startsWith(u'/') ? target.mid(1) : baseFolder + target;
    QStringList out;
    for (const QString& piece : path.split(u'/', Qt::SkipEmptyParts)) {
        if (piece == u"..") {
            if (!out.isEmpty())
                out.removeLast();
        } else if (piece != u".") {
            out << piece;
        }
    }
    return out.join(u'/');
}

QString folderOf(const QString& part) {
    const qsizetype slash = part.lastIndexOf(u'/');
    return slash < 0 ? QString() : part.left(slash + 1);
}

struct Relationship {
    QString type;
    QString target;
};

bool readRelationships(ZipArchive& zip, const QString& part, QHash<QString, Relationship>& rels,
                       QString& error) {
    Part p(zip, part);
    if (!p.ok()) {
        error = p.error();
        return false;
    }
    while (p.next()) {
        if (p.xml.isStartElement() && p.xml.name() == u"Relationship") {
            if (rels.size() > 100000) {
                error = QStringLiteral("%1: too many relationships").arg(part);
                return false;
            }
            rels.insert(p.attribute(u"Id"), {p.attribute(u"Type"), p.attribute(u"Target")});
        }
    }
    error = p.error();
    return error.isEmpty();
}

// Built-in number formats of the format's numbering, as a French spreadsheet shows them.
QString builtInFormat(int id) {
    switch (id) {
    case 0:
        return QStringLiteral("General");
    case 1:
        return QStringLiteral("0");
    case 2:
        return QStringLiteral("0.00");
    case 3:
        return QStringLiteral("#,##0");
    case 4:
        return QStringLiteral("#,##0.00");
    case 5:
        return QStringLiteral("#,##0 \"€\";-#,##0 \"€\"");
    case 6:
        return QStringLiteral("#,##0 \"€\";[Red]-#,##0 \"€\"");
    case 7:
        return QStringLiteral("#,##0.00 \"€\";-#,##0.00 \"€\"");
    case 8:
        return QStringLiteral("#,##0.00 \"€\";[Red]-#,##0.00 \"€\"");
    case 9:
        return QStringLiteral("0%");
    case 10:
        return QStringLiteral("0.00%");
    case 11:
        return QStringLiteral("0.00E+00");
    case 12:
        return QStringLiteral("# ?/?");
    case 13:
        return QStringLiteral("# ?"
                              "?/?"
                              "?");
    case 14:
        return QStringLiteral("dd/mm/yyyy");
    case 15:
        return QStringLiteral("d-mmm-yy");
    case 16:
        return QStringLiteral("d-mmm");
    case 17:
        return QStringLiteral("mmm-yy");
    case 18:
        return QStringLiteral("h:mm AM/PM");
    case 19:
        return QStringLiteral("h:mm:ss AM/PM");
    case 20:
        return QStringLiteral("hh:mm");
    case 21:
        return QStringLiteral("hh:mm:ss");
    case 22:
        return QStringLiteral("dd/mm/yyyy hh:mm");
    case 37:
        return QStringLiteral("#,##0 ;(#,##0)");
    case 38:
        return QStringLiteral("#,##0 ;[Red](#,##0)");
    case 39:
        return QStringLiteral("#,##0.00;(#,##0.00)");
    case 40:
        return QStringLiteral("#,##0.00;[Red](#,##0.00)");
    case 45:
        return QStringLiteral("mm:ss");
    case 46:
        return QStringLiteral("[h]:mm:ss");
    case 47:
        return QStringLiteral("mm:ss.0");
    case 48:
        return QStringLiteral("##0.0E+0");
    case 49:
        return QStringLiteral("@");
    default:
        return QStringLiteral("General");
    }
}

struct Styles {
    QHash<int, QString> customFormats;
    std::vector<int> cellFormats; // number format id of each cell style
    QString formatOf(int style) const {
        if (style < 0 || style >= static_cast<int>(cellFormats.size()))
            return QStringLiteral("General");
        const int id = cellFormats[static_cast<size_t>(style)];
        return customFormats.contains(id) ? customFormats.value(id) : builtInFormat(id);
    }
};

bool readStyles(ZipArchive& zip, const QString& part, Styles& styles, QString& error) {
    Part p(zip, part);
    if (!p.ok()) {
        error = p.error();
        return false;
    }
    bool inCellXfs = false;
    while (p.next()) {
        if (p.xml.isStartElement()) {
            const QStringView n = p.xml.name();
            if (n == u"numFmt")
                styles.customFormats.insert(p.attribute(u"numFmtId").toInt(),
                                            p.attribute(u"formatCode"));
            else if (n == u"cellXfs")
                inCellXfs = true;
            else if (n == u"xf" && inCellXfs) {
                if (styles.cellFormats.size() > 1000000) {
                    error = QStringLiteral("%1: too many cell styles").arg(part);
                    return false;
                }
                styles.cellFormats.push_back(p.attribute(u"numFmtId").toInt());
            }
        } else if (p.xml.isEndElement() && p.xml.name() == u"cellXfs") {
            inCellXfs = false;
        }
    }
    error = p.error();
    return error.isEmpty();
}

// Text of a rich or plain string item (<si> or <is>): its runs joined, phonetic hints left out.
bool readStringItem(Part& p, QString& out, qint64 maxChars) {
    return p.collectText(
        out, [](QStringView n) { return n == u"t"; },
        [](QStringView n) { return n == u"rPh" || n == u"phoneticPr"; }, maxChars);
}

bool readSharedStrings(ZipArchive& zip, const QString& part, const WorkbookLimits& limits,
                       std::vector<QString>& strings, QString& error) {
    Part p(zip, part);
    if (!p.ok()) {
        error = p.error();
        return false;
    }
    qint64 chars = 0;
    while (p.next()) {
        if (!p.xml.isStartElement() || p.xml.name() != u"si")
            continue;
        if (static_cast<qint64>(strings.size()) >= limits.maxStrings) {
            error =
                QStringLiteral("%1: more than %2 shared strings").arg(part).arg(limits.maxStrings);
            return false;
        }
        QString text;
        if (!readStringItem(p, text, kMaxCellChars))
            break;
        chars += text.size();
        if (chars > limits.maxStringChars) {
            error = QStringLiteral("%1: more than %2 characters of shared strings")
                        .arg(part)
                        .arg(limits.maxStringChars);
            return false;
        }
        strings.push_back(decodeEscapes(std::move(text)));
    }
    error = p.error();
    return error.isEmpty();
}

// "BC12" -> column 55, row 12. False for anything else.
bool parseReference(QStringView ref, int& column, int& row) {
    qsizetype i = 0;
    qint64 c = 0;
    while (i < ref.size() && ref[i].isLetter() && ref[i].unicode() < 128) {
        c = c * 26 + (ref[i].toUpper().unicode() - u'A' + 1);
        if (c > 1000000)
            return false;
        ++i;
    }
    if (i == 0 || i == ref.size())
        return false;
    bool ok = false;
    const int r = ref.mid(i).toInt(&ok);
    if (!ok || r < 1)
        return false;
    column = static_cast<int>(c);
    row = r;
    return true;
}

QString columnName(int column) {
    QString name;
    while (column > 0) {
        const int rem = (column - 1) % 26;
        name.prepend(QChar(u'A' + rem));
        column = (column - 1) / 26;
    }
    return name;
}

// ISO 8601 date text of a "d" cell as a serial number.
std::optional<double> isoToSerial(const QString& text, bool date1904) {
    QDateTime when = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!when.isValid()) {
        const QDate day = QDate::fromString(text, Qt::ISODate);
        if (!day.isValid())
            return std::nullopt;
        when = QDateTime(day, QTime(0, 0));
    }
    const QDate base = date1904 ? QDate(1904, 1, 1) : QDate(1899, 12, 30);
    double serial = static_cast<double>(base.daysTo(when.date())) +
                    static_cast<double>(when.time().msecsSinceStartOfDay()) / 86400000.0;
    if (!date1904 && serial < 61)
        serial -= 1;
    return serial;
}

bool readOfficeSheet(ZipArchive& zip, const QString& part, const std::vector<QString>& strings,
                     const Styles& styles, bool date1904, const WorkbookLimits& limits,
                     SheetBuilder& sheet, QString& error) {
    Part p(zip, part);
    if (!p.ok()) {
        error = p.error();
        return false;
    }
    int row = 0;
    int column = 0;
    bool inData = false;
    while (p.next()) {
        if (!p.xml.isStartElement()) {
            if (p.xml.isEndElement() && p.xml.name() == u"sheetData")
                inData = false;
            continue;
        }
        const QStringView n = p.xml.name();
        if (n == u"sheetData") {
            inData = true;
        } else if (!inData) {
            continue;
        } else if (n == u"row") {
            const QString r = p.attribute(u"r");
            bool ok = true;
            const int number = r.isEmpty() ? row + 1 : r.toInt(&ok);
            if (!ok || number <= row || number > limits.maxRows) {
                p.fail(QStringLiteral("row number \"%1\" out of order or beyond %2")
                           .arg(r)
                           .arg(limits.maxRows));
                break;
            }
            row = number;
            column = 0;
        } else if (n == u"c") {
            const QString ref = p.attribute(u"r");
            int refColumn = column + 1;
            int refRow = row;
            if (!ref.isEmpty() && !parseReference(ref, refColumn, refRow)) {
                p.fail(QStringLiteral("cell reference \"%1\" is not valid").arg(ref.left(20)));
                break;
            }
            if (row == 0 || refRow != row || refColumn <= column || refColumn > limits.maxColumns) {
                p.fail(QStringLiteral("cell %1 out of place or beyond %2 columns")
                           .arg(ref.left(20))
                           .arg(limits.maxColumns));
                break;
            }
            column = refColumn;
            const QString type = p.attribute(u"t");
            const int style = p.attribute(u"s").toInt();
            QString value;
            QString inlineText;
            bool haveValue = false;
            // The cell's children: the cached value, an inline string, the formula.
            while (p.next()) {
                if (p.xml.isEndElement() && p.xml.name() == u"c")
                    break;
                if (!p.xml.isStartElement())
                    continue;
                if (p.xml.name() == u"v") {
                    if (!p.elementText(value, kMaxCellChars))
                        break;
                    haveValue = true;
                } else if (p.xml.name() == u"is") {
                    if (!readStringItem(p, inlineText, kMaxCellChars))
                        break;
                } else if (!p.skipElement()) {
                    break;
                }
            }
            if (!p.error().isEmpty())
                break;
            const QString where = columnName(column) + QString::number(row);
            QString text;
            if (type == u"inlineStr") {
                text = decodeEscapes(inlineText);
            } else if (!haveValue || (value.trimmed().isEmpty() && type != u"str")) {
                text.clear(); // a formula never computed, or a styled empty cell
            } else if (type == u"s") {
                bool ok = false;
                const qint64 index = value.trimmed().toLongLong(&ok);
                if (!ok || index < 0 || index >= static_cast<qint64>(strings.size())) {
                    p.fail(QStringLiteral("cell %1 names shared string %2, which does not exist")
                               .arg(where, value.left(20)));
                    break;
                }
                text = strings[static_cast<size_t>(index)];
            } else if (type == u"str") {
                text = decodeEscapes(value);
            } else if (type == u"b") {
                text = value.trimmed() == u"1" || value.trimmed() == u"true"
                           ? QStringLiteral("VRAI")
                           : QStringLiteral("FAUX");
            } else if (type == u"e") {
                text = value;
            } else if (type == u"d") {
                const auto serial = isoToSerial(value.trimmed(), date1904);
                if (!serial) {
                    p.fail(QStringLiteral("cell %1 holds a date that is not valid").arg(where));
                    break;
                }
                QString format = styles.formatOf(style);
                if (format == u"General")
                    format = QStringLiteral("dd/mm/yyyy hh:mm:ss");
                text = formatSpreadsheetNumber(*serial, format, date1904);
            } else {
                bool ok = false;
                const double number = value.trimmed().toDouble(&ok);
                if (!ok) {
                    p.fail(QStringLiteral("cell %1 holds \"%2\", which is not a number")
                               .arg(where, value.left(20)));
                    break;
                }
                text = formatSpreadsheetNumber(number, styles.formatOf(style), date1904);
            }
            if (!sheet.put(row, column, std::move(text), error)) {
                error = QStringLiteral("%1: cell %2: %3").arg(part, where, error);
                return false;
            }
        }
    }
    if (error.isEmpty())
        error = p.error();
    return error.isEmpty();
}

bool readOfficeWorkbook(ZipArchive& zip, const WorkbookLimits& limits, SheetBuilder& sheet,
                        QString& error) {
    // The package's relationships name the workbook part.
    QString workbookPart = QStringLiteral("xl/workbook.xml");
    {
        QHash<QString, Relationship> rels;
        if (zip.find(QStringLiteral("_rels/.rels")) &&
            readRelationships(zip, QStringLiteral("_rels/.rels"), rels, error)) {
            for (const Relationship& r : std::as_const(rels))
                if (r.type.endsWith(QStringLiteral("/officeDocument"))) {
                    workbookPart = resolvePart(QString(), r.target);
                    break;
                }
        }
        if (!error.isEmpty())
            return false;
    }

    // The workbook: its date system and its first sheet.
    bool date1904 = false;
    QString firstSheetId;
    {
        Part p(zip, workbookPart);
        if (!p.ok()) {
            error = p.error();
            return false;
        }
        while (p.next()) {
            if (!p.xml.isStartElement())
                continue;
            if (p.xml.name() == u"workbookPr") {
                const QString v = p.attribute(u"date1904");
                date1904 = v == u"1" || v == u"true";
            } else if (p.xml.name() == u"sheet" && firstSheetId.isEmpty()) {
                firstSheetId = p.attribute(u"id");
            }
        }
        if (!p.error().isEmpty()) {
            error = p.error();
            return false;
        }
    }
    if (firstSheetId.isEmpty()) {
        error = QStringLiteral("%1 lists no sheet").arg(workbookPart);
        return false;
    }
    const QString base = folderOf(workbookPart);
    const QString relsPart =
        base + QStringLiteral("_rels/") + workbookPart.mid(base.size()) + QStringLiteral(".rels");
    QHash<QString, Relationship> rels;
    if (!readRelationships(zip, relsPart, rels, error))
        return false;
    if (!rels.contains(firstSheetId)) {
        error = QStringLiteral("%1 has no relationship %2 for the first sheet")
                    .arg(relsPart, firstSheetId);
        return false;
    }
    const Relationship first = rels.value(firstSheetId);
    if (!first.type.endsWith(QStringLiteral("/worksheet"))) {
        error = QStringLiteral("the first sheet is not a worksheet (%1)")
                    .arg(first.type.section(u'/', -1));
        return false;
    }
    Styles styles;
    std::vector<QString> strings;
    for (const Relationship& r : std::as_const(rels)) {
        const QString target = resolvePart(base, r.target);
        if (r.type.endsWith(QStringLiteral("/styles")) && zip.find(target)) {
            if (!readStyles(zip, target, styles, error))
                return false;
        } else if (r.type.endsWith(QStringLiteral("/sharedStrings")) && zip.find(target)) {
            if (!readSharedStrings(zip, target, limits, strings, error))
                return false;
        }
    }
    return readOfficeSheet(zip, resolvePart(base, first.target), strings, styles, date1904, limits,
                           sheet, error);
}

// ---------------------------------------------------------------- OpenDocument

// Text of a paragraph (<text:p>, <text:h>) with its spans, links, spaces, tabs and breaks;
// notes and annotations left out.
bool readParagraph(Part& p, QString& out) {
    int depth = 1;
    while (depth > 0 && p.next()) {
        if (p.xml.isStartElement()) {
            const QStringView n = p.xml.name();
            if (n == u"s") {
                const QString count = p.attribute(u"c");
                const int spaces = count.isEmpty() ? 1 : std::clamp(count.toInt(), 0, 1000);
                out += QString(spaces, u' ');
            } else if (n == u"tab") {
                out += u'\t';
            } else if (n == u"line-break") {
                out += u'\n';
            } else if (n == u"note" || n == u"annotation" || n == u"ruby-text") {
                if (!p.skipElement())
                    return false;
                continue;
            }
            ++depth;
        } else if (p.xml.isEndElement()) {
            --depth;
        } else if (p.xml.isCharacters()) {
            out += p.xml.text();
        }
        if (out.size() > kMaxCellChars) {
            p.fail(QStringLiteral("cell text longer than %1 characters").arg(kMaxCellChars));
            return false;
        }
    }
    return p.error().isEmpty();
}

// What a cell without paragraphs shows: its typed value.
QString odfValueText(const Part& p) {
    const QString type = p.attribute(u"value-type");
    if (type == u"float" || type == u"percentage" || type == u"currency") {
        bool ok = false;
        const double v = p.attribute(u"value").toDouble(&ok);
        return ok ? formatSpreadsheetNumber(v, type == u"percentage" ? QStringLiteral("0%")
                                                                     : QStringLiteral("General"))
                  : QString();
    }
    if (type == u"boolean") {
        const QString v = p.attribute(u"boolean-value");
        return v == u"true" || v == u"1" ? QStringLiteral("VRAI") : QStringLiteral("FAUX");
    }
    if (type == u"date") {
        const QString v = p.attribute(u"date-value");
        if (v.contains(u'T')) {
            const auto serial = isoToSerial(v, false);
            return serial ? formatSpreadsheetNumber(*serial, QStringLiteral("dd/mm/yyyy hh:mm:ss"))
                          : v;
        }
        const QDate day = QDate::fromString(v, Qt::ISODate);
        return day.isValid() ? day.toString(QStringLiteral("dd/MM/yyyy")) : v;
    }
    if (type == u"time") {
        static const QRegularExpression duration(QStringLiteral("^-?PT?(\\d+)H(\\d+)M(\\d+)"));
        const auto m = duration.match(p.attribute(u"time-value"));
        if (m.hasMatch())
            return QStringLiteral("%1:%2:%3")
                .arg(m.captured(1).toInt(), 2, 10, QLatin1Char('0'))
                .arg(m.captured(2).toInt(), 2, 10, QLatin1Char('0'))
                .arg(m.captured(3).toInt(), 2, 10, QLatin1Char('0'));
        return p.attribute(u"time-value");
    }
    if (type == u"string")
        return p.attribute(u"string-value");
    return {};
}

int repeatCount(const Part& p, QStringView attribute) {
    const QString text = p.attribute(attribute);
    if (text.isEmpty())
        return 1;
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    return ok && n >= 1 ? static_cast<int>(std::min<qint64>(n, 1 << 30)) : 1;
}

bool readOpenDocumentSheet(ZipArchive& zip, const WorkbookLimits& limits, SheetBuilder& sheet,
                           QString& error) {
    const QString part = QStringLiteral("content.xml");
    Part p(zip, part);
    if (!p.ok()) {
        error = p.error();
        return false;
    }
    // Finds the first table of the spreadsheet body.
    bool found = false;
    while (p.next()) {
        if (p.xml.isStartElement() && p.xml.name() == u"table" &&
            p.xml.namespaceUri().contains(QStringLiteral("table"))) {
            found = true;
            break;
        }
    }
    if (!found) {
        error = p.error().isEmpty() ? QStringLiteral("%1 holds no table").arg(part) : p.error();
        return false;
    }
    qint64 row = 0; // rows done so far
    int depth = 1;
    while (depth > 0 && p.next()) {
        if (p.xml.isEndElement()) {
            --depth;
            continue;
        }
        if (!p.xml.isStartElement())
            continue;
        const QStringView n = p.xml.name();
        if (n == u"table-header-rows" || n == u"table-row-group" || n == u"table-rows") {
            ++depth;
            continue;
        }
        if (n != u"table-row") {
            if (!p.skipElement())
                break;
            continue;
        }
        const int rowRepeat = repeatCount(p, u"number-rows-repeated");
        std::vector<std::pair<int, QString>> texts; // column, text
        int column = 0;
        while (p.next()) {
            if (p.xml.isEndElement() && p.xml.name() == u"table-row")
                break;
            if (!p.xml.isStartElement())
                continue;
            const QStringView cn = p.xml.name();
            if (cn != u"table-cell" && cn != u"covered-table-cell") {
                if (!p.skipElement())
                    break;
                continue;
            }
            const int columnRepeat = repeatCount(p, u"number-columns-repeated");
            const bool covered = cn == u"covered-table-cell";
            QString text;
            QString fallback = covered ? QString() : odfValueText(p);
            bool paragraphs = false;
            int cellDepth = 1;
            while (cellDepth > 0 && p.next()) {
                if (p.xml.isStartElement()) {
                    if (p.xml.name() == u"p" || p.xml.name() == u"h") {
                        if (paragraphs)
                            text += u'\n';
                        paragraphs = true;
                        if (!readParagraph(p, text))
                            break;
                    } else if (!p.skipElement()) {
                        break;
                    }
                } else if (p.xml.isEndElement()) {
                    --cellDepth;
                }
            }
            if (!p.error().isEmpty())
                break;
            if (covered)
                text.clear(); // hidden under a merged cell
            else if (!paragraphs)
                text = fallback;
            if (!text.isEmpty()) {
                if (static_cast<qint64>(column) + columnRepeat > limits.maxColumns) {
                    p.fail(QStringLiteral("row %1: a text beyond column %2")
                               .arg(row + 1)
                               .arg(limits.maxColumns));
                    break;
                }
                for (int k = 1; k <= columnRepeat; ++k)
                    texts.emplace_back(column + k, text);
                if (static_cast<qint64>(texts.size()) > limits.maxCells) {
                    p.fail(QStringLiteral("more than %1 cells").arg(limits.maxCells));
                    break;
                }
            }
            column = static_cast<int>(
                std::min<qint64>(static_cast<qint64>(column) + columnRepeat, 1 << 30));
        }
        if (!p.error().isEmpty())
            break;
        if (!texts.empty()) {
            if (row + rowRepeat > limits.maxRows) {
                p.fail(QStringLiteral("a text beyond row %1").arg(limits.maxRows));
                break;
            }
            // Each repeat of the row holds every cell up to its last text.
            if (static_cast<qint64>(texts.back().first) * rowRepeat > limits.maxCells) {
                p.fail(QStringLiteral("more than %1 cells").arg(limits.maxCells));
                break;
            }
            for (int k = 1; k <= rowRepeat; ++k)
                for (const auto& [c, t] : texts)
                    if (!sheet.put(static_cast<int>(row + k), c, t, error)) {
                        error = QStringLiteral("%1: row %2: %3").arg(part).arg(row + k).arg(error);
                        return false;
                    }
        }
        row = std::min<qint64>(row + rowRepeat, qint64(1) << 40);
    }
    // The rest of the document (other sheets) is not read.
    if (error.isEmpty())
        error = p.error();
    return error.isEmpty();
}

enum class Kind { Unknown, Office, OpenDocument };

Kind recognise(ZipArchive& zip, const WorkbookLimits& limits, QString& error) {
    if (const ZipEntry* mimetype = zip.find(QStringLiteral("mimetype"))) {
        QByteArray type;
        if (!zip.readEntry(*mimetype, 256, type, error))
            return Kind::Unknown;
        if (type.trimmed().startsWith("application/vnd.oasis.opendocument.spreadsheet"))
            return Kind::OpenDocument;
        error = QStringLiteral("an OpenDocument file of type %1, not a spreadsheet")
                    .arg(QString::fromLatin1(type.trimmed().left(80)));
        return Kind::Unknown;
    }
    if (const ZipEntry* manifest = zip.find(QStringLiteral("META-INF/manifest.xml"))) {
        QByteArray xml;
        if (!zip.readEntry(*manifest, limits.maxSmallPart, xml, error))
            return Kind::Unknown;
        if (xml.contains("application/vnd.oasis.opendocument.spreadsheet"))
            return Kind::OpenDocument;
    }
    if (zip.find(QStringLiteral("[Content_Types].xml"))) {
        Part p(zip, QStringLiteral("[Content_Types].xml"));
        bool workbook = false;
        while (p.next())
            if (p.xml.isStartElement() &&
                p.attribute(u"ContentType").contains(QStringLiteral(".sheet.main+xml")))
                workbook = true;
        if (!p.error().isEmpty()) {
            error = p.error();
            return Kind::Unknown;
        }
        if (workbook)
            return Kind::Office;
        error = QStringLiteral("an Office file that is not a workbook");
        return Kind::Unknown;
    }
    error =
        QStringLiteral("a zip archive that is neither an OpenDocument spreadsheet nor a workbook");
    return Kind::Unknown;
}

} // namespace

JobReadResult readWorkbookBytes(const QByteArray& bytes, const WorkbookLimits& limits) {
    JobReadResult result;
    ZipArchive zip;
    if (!zip.open(bytes, limits.zip, result.error))
        return result;
    const Kind kind = recognise(zip, limits, result.error);
    if (kind == Kind::Unknown)
        return result;
    SheetBuilder builder(limits);
    result.format = kind == Kind::Office ? JobFormat::OfficeOpenXml : JobFormat::OpenDocument;
    const bool read = kind == Kind::Office
                          ? readOfficeWorkbook(zip, limits, builder, result.error)
                          : readOpenDocumentSheet(zip, limits, builder, result.error);
    if (!read) {
        if (result.error.isEmpty())
            result.error = QStringLiteral("the workbook could not be read");
        return result;
    }
    result.error.clear();
    result.encoding = JobEncoding::Utf8;
    result.sheet = builder.finish();
    result.ok = true;
    return result;
}

} // namespace automation
