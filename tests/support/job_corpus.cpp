// Bad job corpus and a writer of well-formed job rows.
#include "support/job_corpus.h"

#include <QFile>

#include <QList>
#include <QRandomGenerator>

namespace testsupport {

namespace {

QByteArray quoted(const QString& text) {
    QByteArray q = text.toUtf8();
    q.replace("\"", "\"\"");
    return '"' + q + '"';
}

// A literal with embedded NULs, without its terminating NUL.
template <size_t N> QByteArray bytesOf(const char (&literal)[N]) {
    return QByteArray(literal, N - 1);
}

} // namespace

QByteArray jobRow(const QString& mark, const QString& to, const QString& cc, const QString& cci,
                  const QString& subject, const QString& body, const QString& attachment,
                  const QString& partner) {
    const QList<QString> cells{mark, {}, {}, {}, to, cc, cci, subject, body, attachment, partner};
    QByteArray line;
    for (qsizetype i = 0; i < cells.size(); ++i) {
        if (i)
            line += ';';
        line += quoted(cells[i]);
    }
    return line + "\r\n";
}

std::vector<BadJob> badJobCorpus() {
    std::vector<BadJob> corpus;
    const QByteArray good = jobRow(QStringLiteral("1"), QStringLiteral("a@example.org"), {}, {},
                                   QStringLiteral("Sujet"), QStringLiteral("Corps"));

    corpus.push_back({QStringLiteral("zero bytes"), {}, true, 0});
    corpus.push_back({QStringLiteral("byte-order mark only"), "\xEF\xBB\xBF", true, 0});

    QByteArray garbage(4096, '\0');
    QRandomGenerator rng(8);
    for (char& c : garbage)
        c = static_cast<char>(rng.bounded(256));
    garbage[100] = '\0';
    corpus.push_back({QStringLiteral("binary garbage"), garbage, false, 0});

    corpus.push_back(
        {QStringLiteral("unterminated quote"), "1;;;;\"a@example.org;x;y\r\n2;;;;b\r\n", false, 0});
    corpus.push_back({QStringLiteral("text after closing quote"), "1;\"a\"b;c\r\n", false, 0});

    QByteArray bigCell = "1;;;;a@example.org;;;Gros;\"";
    bigCell += QByteArray(50 * 1024 * 1024, 'x');
    bigCell += "\"\r\n";
    corpus.push_back({QStringLiteral("50 MB body cell"), bigCell, true, 1});

    QByteArray many;
    many.reserve(100000 * 40);
    for (int i = 0; i < 100000; ++i)
        many += "1;;;;r" + QByteArray::number(i) + "@example.org;;;S;B\n";
    corpus.push_back({QStringLiteral("100,000 rows"), many, true, 100000});

    QByteArray wide = "1";
    for (int i = 2; i <= 300; ++i)
        wide += ";c" + QByteArray::number(i);
    corpus.push_back({QStringLiteral("300 columns"), wide + "\r\n", true, 1});

    // Invalid as UTF-8, but every byte means something in Windows-1252: read that way.
    corpus.push_back({QStringLiteral("invalid UTF-8, valid Windows-1252"),
                      "1;;;;a@example.org;;;R\xE9sum\xE9;\xC3\x28\r\n", true, 1});
    // 0x81 is undefined in Windows-1252 and starts no UTF-8 sequence.
    corpus.push_back({QStringLiteral("invalid UTF-8 and Windows-1252"),
                      "1;;;;a@example.org;;;\x81\x8D\r\n", false, 0});
    corpus.push_back({QStringLiteral("invalid UTF-8 after a UTF-8 mark"),
                      "\xEF\xBB\xBF"
                      "1;\xC3\x28\r\n",
                      false, 0});

    const QString utf16Text = QStringLiteral("1;;;;a@example.org;;;Sujet;Corps\r\n");
    QByteArray utf16NoBom(reinterpret_cast<const char*>(utf16Text.utf16()), utf16Text.size() * 2);
    corpus.push_back({QStringLiteral("UTF-16 without mark"), utf16NoBom, false, 0});
    corpus.push_back({QStringLiteral("UTF-16 with mark"), "\xFF\xFE" + utf16NoBom, true, 1});
    corpus.push_back(
        {QStringLiteral("UTF-16 with an odd byte count"), "\xFF\xFE" + utf16NoBom + "x", false, 0});
    corpus.push_back({QStringLiteral("UTF-16 unpaired surrogate"),
                      bytesOf("\xFF\xFE"
                              "1\0;\0\x00\xD8;\0"),
                      false, 0});

    corpus.push_back({QStringLiteral("only blank rows"), "\r\n\r\n\n\n", true, 4});
    corpus.push_back({QStringLiteral("row-in-use mark of spaces"),
                      "   ;;;;a@example.org;;;S;B\r\n \t;;;;b@example.org\r\n", true, 2});
    corpus.push_back({QStringLiteral("attachment with .."),
                      jobRow("1", "a@example.org", {}, {}, "S", "B", "..\\secret.txt"), true, 1});
    corpus.push_back({QStringLiteral("attachment absolute"),
                      jobRow("1", "a@example.org", {}, {}, "S", "B", "/etc/passwd") +
                          jobRow("1", "a@example.org", {}, {}, "S", "B", "C:\\Windows\\win.ini") +
                          jobRow("1", "a@example.org", {}, {}, "S", "B", "\\\\srv\\share\\x.pdf"),
                      true, 3});
    corpus.push_back({QStringLiteral("attachment missing"),
                      jobRow("1", "a@example.org", {}, {}, "S", "B", "absent.pdf"), true, 1});
    corpus.push_back({QStringLiteral("attachment list injection"),
                      jobRow("1", "a@example.org", {}, {}, "S", "B", "a.pdf;/etc/passwd"), true,
                      1});
    corpus.push_back({QStringLiteral("attachment wildcard"),
                      jobRow("1", "a@example.org", {}, {}, "S", "B", "*.ss8"), true, 1});
    corpus.push_back({QStringLiteral("lone CR line ends"),
                      "1;;;;a@example.org;;;S;B\r1;;;;b@example.org;;;S;B\r", true, 2});
    corpus.push_back({QStringLiteral("header injection in subject"),
                      jobRow("1", "a@example.org", {}, {}, "S\r\nBcc: evil@example.org", "B"), true,
                      1});
    corpus.push_back({QStringLiteral("NUL inside a cell"),
                      bytesOf("1;;;;a@example.org;;;S\0x;B\r\n"), false, 0});
    corpus.push_back({QStringLiteral("good job for reference"), good + good, true, 2});
    return corpus;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace testsupport
