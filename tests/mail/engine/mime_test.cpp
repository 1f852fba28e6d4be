// The built message as a mail reader sees it: every character set of the table decoded back
// by Python's email package, UTF-8 fallback, attachments, address lists and header injection.
#include "mail/engine/mail_component.h"
#include "mail/mime/mime_builder.h"

#include "support/smtp_fixture.h"

#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace testsupport;
using mail::MailMessage;

namespace {

QJsonObject buildAndParse(MailMessage& mail, QByteArray* wire = nullptr) {
    const QByteArray message = mail.buildMessage();
    if (wire)
        *wire = message;
    if (message.isEmpty())
        return {{QStringLiteral("error"), mail.lastErrorDescription()}};
    return ParseWithPython(message);
}

void basicMail(MailMessage& mail) {
    mail.setSenderAddress(QStringLiteral("regie@station.test"));
    mail.addRecipients(QStringLiteral("antenne@station.test"), 0);
}

} // namespace

// Each identifier of the character-set table with a text written in its script: subject,
// body and sender name come back unchanged, and the identifier is written exactly as given.
TEST(MimeCharsets, EveryTableCharsetDecodesBack) {
    struct Case {
        const char* charset;
        const char16_t* text;
    };
    const Case cases[] = {
        {"windows-1256", u"مرحبا بالعالم"},
        {"iso-8859-4", u"Ķēniņš Ģirts ūdens"},
        {"windows-1257", u"Ąžuolas ėjo į šventę"},
        {"iso-8859-2", u"Zażółć gęślą jaźń"},
        {"windows-1250", u"Příliš žluťoučký kůň"},
        {"GB18030", u"中文邮件测试"},
        {"gb2312", u"简体中文测试"},
        {"hz-gb-2312", u"简体中文测试 and ASCII ~ tilde"},
        {"big5", u"繁體中文測試"},
        {"iso-8859-5", u"Привет мир"},
        {"koi8-r", u"Привет мир"},
        {"koi8-u", u"Привіт світ"},
        {"windows-1251", u"Здравствуй мир"},
        {"iso-8859-7", u"Καλημέρα κόσμε"},
        {"windows-1253", u"Καλημέρα κόσμε"},
        {"windows-1255", u"שלום עולם"},
        {"iso-2022-jp", u"日本語のテスト"},
        {"ks_c_5601-1987", u"한국어 시험"},
        {"euc-kr", u"안녕하세요"},
        {"iso-8859-15", u"Œuvre à 5 €"},
        {"windows-874", u"สวัสดีครับ"},
        {"iso-8859-9", u"Günaydın İstanbul şğ"},
        {"windows-1254", u"Günaydın İstanbul şğ"},
        {"utf-7", u"Grüße aus 日本"},
        {"utf-8", u"Grüße aus 日本 😀"},
        {"windows-1258", u"Đăng Ưu Đô ơn"},
        {"iso-8859-1", u"Café crème à Noël"},
        {"Windows-1252", u"Café – “quotes” €"},
    };
    for (const Case& c : cases) {
        const QString charset = QString::fromLatin1(c.charset);
        const QString text = QString::fromUtf16(c.text);
        SCOPED_TRACE(c.charset);
        MailMessage mail;
        basicMail(mail);
        mail.setCharset(charset);
        mail.setSenderName(text);
        // A long subject forces several encoded words, each of which must stand alone.
        const QString subject = QStringLiteral("Postique: ") + text + u' ' + text + u' ' + text;
        mail.setSubject(subject);
        const QString body = text + QStringLiteral("\nligne 2\n") + text + u'\n';
        mail.setBody(body);
        QByteArray wire;
        const QJsonObject parsed = buildAndParse(mail, &wire);
        ASSERT_FALSE(parsed.contains(u"error")) << parsed.value(u"error").toString().toStdString();
        EXPECT_EQ(parsed.value(u"subject").toString(), subject)
            << wire.left(wire.indexOf("\r\n\r\n")).toStdString();
        EXPECT_EQ(parsed.value(u"body").toString(), body);
        EXPECT_EQ(parsed.value(u"from").toString(),
                  text.contains(u',') ? QString() : text + QStringLiteral(" <regie@station.test>"));
        EXPECT_TRUE(parsed.value(u"defects").toArray().isEmpty());
        // The identifier travels exactly as written, in the body and in the header words.
        EXPECT_TRUE(wire.contains("charset=" + charset.toLatin1()) ||
                    wire.contains("charset=\"" + charset.toLatin1() + '"'))
            << wire.left(2000).toStdString();
        EXPECT_TRUE(wire.contains("=?" + charset.toLatin1() + "?B?"));
        // Encoded-word lines stay within 78 characters.
        const QByteArray headers = wire.left(wire.indexOf("\r\n\r\n"));
        for (const QByteArray& line : headers.split('\n'))
            EXPECT_LE(line.size(), 80) << line.toStdString();
    }
}

// Text that the chosen character set cannot hold goes out in UTF-8 rather than mangled.
TEST(MimeCharsets, UnrepresentableTextFallsBackToUtf8) {
    struct Case {
        const char* charset;
        const char16_t* subject;
        const char16_t* body;
        bool subjectFallsBack;
        bool bodyFallsBack;
    };
    const Case cases[] = {
        {"iso-8859-1", u"Café", u"日本語", false, true},
        {"koi8-r", u"Ελληνικά", u"Привет", true, false},
        {"iso-2022-jp", u"😀 emoji", u"😀", true, true},
        {"no-such-charset", u"Grüße", u"Grüße", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.charset);
        MailMessage mail;
        basicMail(mail);
        mail.setCharset(QString::fromLatin1(c.charset));
        mail.setSubject(QString::fromUtf16(c.subject));
        mail.setBody(QString::fromUtf16(c.body));
        QByteArray wire;
        const QJsonObject parsed = buildAndParse(mail, &wire);
        EXPECT_EQ(parsed.value(u"subject").toString(), QString::fromUtf16(c.subject));
        EXPECT_EQ(parsed.value(u"body").toString(), QString::fromUtf16(c.body));
        EXPECT_EQ(parsed.value(u"body_charset").toString(),
                  c.bodyFallsBack ? QStringLiteral("utf-8") : QString::fromLatin1(c.charset));
        EXPECT_EQ(wire.contains("=?utf-8?B?"), c.subjectFallsBack);
    }
}

// Attachments arrive byte for byte under their own names, whatever the name's characters.
TEST(MimeAttachments, BytesAndNamesSurvive) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary.append(char(i));
    for (int i = 0; i < 70000; ++i)
        binary.append(char(QRandomGenerator::global()->bounded(256)));
    binary.append("\r\n.\r\n\n.\r"); // dot-stuffing and line-end traps
    const struct {
        QString name;
        QByteArray data;
    } files[] = {
        {QStringLiteral("Émission été – n°3.bin"), binary},
        {QStringLiteral("plain.txt"), QByteArray("line one\nline two\r\n.\nend")},
        {QStringLiteral("rapport (final), v2.pdf"), QByteArray("%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")},
        {QStringLiteral("日本語の名前が長いファイル名になっています.dat"), QByteArray(3, '\0')},
    };
    MailMessage mail;
    basicMail(mail);
    mail.setBody(QStringLiteral("Voir pièces jointes."));
    for (const auto& f : files) {
        QFile out(dir.filePath(f.name));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(f.data);
        out.close();
        EXPECT_EQ(mail.addAttachment(dir.filePath(f.name)), 0);
    }
    // The same file twice is attached once; a missing file is refused with 53.
    EXPECT_EQ(mail.addAttachment(dir.filePath(files[1].name)), 0);
    EXPECT_EQ(mail.addAttachment(dir.filePath(QStringLiteral("absent.bin"))),
              mail::Error::FileNotFound);
    EXPECT_FALSE(mail.lastErrorDescription().isEmpty());

    QByteArray wire;
    const QJsonObject parsed = buildAndParse(mail, &wire);
    const QJsonArray attachments = parsed.value(u"attachments").toArray();
    ASSERT_EQ(attachments.size(), 4);
    for (int i = 0; i < 4; ++i) {
        const QJsonObject a = attachments.at(i).toObject();
        EXPECT_EQ(a.value(u"filename").toString(), files[i].name);
        EXPECT_EQ(QByteArray::fromBase64(a.value(u"data_b64").toString().toLatin1()),
                  files[i].data);
    }
    EXPECT_EQ(parsed.value(u"body").toString(), QStringLiteral("Voir pièces jointes."));
    // Non-ASCII names also in the RFC 2047 form that older Outlook versions display.
    EXPECT_TRUE(wire.contains("name=\"=?utf-8?b?") || wire.contains("name=\"=?UTF-8?b?") ||
                wire.contains("name=\"=?utf-8?B?"))
        << wire.left(3000).toStdString();
}

// Recipient lists as users write them.
TEST(MimeAddresses, ListsParseAsWritten) {
    struct Case {
        const char16_t* list;
        QStringList addresses;
        QStringList names;
    };
    const Case cases[] = {
        {u"a@b.test", {"a@b.test"}, {""}},
        {u"Name <a@b.test>, c@d.test", {"a@b.test", "c@d.test"}, {"Name", ""}},
        {u"\"Last, First\" <c@d.test>", {"c@d.test"}, {"Last, First"}},
        {u" , a@b.test,, ,c@d.test,", {"a@b.test", "c@d.test"}, {"", ""}},
        {u"Élodie Müller <elodie@b.test>", {"elodie@b.test"}, {"Élodie Müller"}},
        {u"x@bücher.test", {"x@xn--bcher-kva.test"}, {""}},
        {u"team: a@b.test, c@d.test;", {"a@b.test", "c@d.test"}, {"", ""}},
        {u"", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString::fromUtf16(c.list).toStdString());
        QList<mail::Mailbox> boxes;
        QString error;
        ASSERT_TRUE(mail::detail::ParseAddressList(QString::fromUtf16(c.list), boxes, error))
            << error.toStdString();
        QStringList addresses;
        QStringList names;
        for (const mail::Mailbox& b : boxes) {
            addresses << b.address;
            names << b.name;
        }
        EXPECT_EQ(addresses, c.addresses);
        EXPECT_EQ(names, c.names);
    }
}

// Nothing a subject, a name or an address holds can add a header or an SMTP command.
TEST(MimeInjection, LineBreaksAreRefusedOrFlattened) {
    struct Case {
        const char* what;
        QString senderName;
        QString senderAddress;
        QString to;
        QString subject;
        qint32 expected; // 0: built, and no injected header
    };
    const QString ok = QStringLiteral("antenne@station.test");
    const QString from = QStringLiteral("regie@station.test");
    const Case cases[] = {
        {"subject", "", from, ok, QStringLiteral("Hello\r\nBcc: evil@x.test\r\n\r\nbody"), 0},
        {"subject lone LF", "", from, ok, QStringLiteral("Hello\nX-Evil: 1"), 0},
        {"sender name", QStringLiteral("Régie\r\nBcc: evil@x.test"), from, ok, "s", 0},
        {"sender address", "", QStringLiteral("regie@station.test\r\nRCPT TO:<evil@x.test>"), ok,
         "s", mail::Error::InvalidAddress},
        {"recipient", "", from, QStringLiteral("a@b.test\r\nRCPT TO:<evil@x.test>"), "s",
         mail::Error::InvalidAddress},
        {"recipient name", "", from, QStringLiteral("\"Evil\nBcc: e@x.test\" <a@b.test>"), "s",
         mail::Error::InvalidAddress},
        {"recipient NUL", "", from, QStringLiteral("a@b.test") + QChar(0) + QStringLiteral("x"),
         "s", mail::Error::InvalidAddress},
        {"not an address", "", from, QStringLiteral("just words"), "s",
         mail::Error::InvalidAddress},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MailMessage mail;
        mail.setSenderName(c.senderName);
        mail.setSenderAddress(c.senderAddress);
        mail.addRecipients(c.to, 0);
        mail.setSubject(c.subject);
        mail.setBody(QStringLiteral("corps"));
        const QByteArray wire = mail.buildMessage();
        if (c.expected != 0) {
            EXPECT_TRUE(wire.isEmpty());
            EXPECT_EQ(mail.lastErrorCode(), c.expected);
            EXPECT_FALSE(mail.lastErrorDescription().isEmpty());
            EXPECT_EQ(mail.send(), c.expected);
            continue;
        }
        ASSERT_FALSE(wire.isEmpty()) << mail.lastErrorDescription().toStdString();
        const QByteArray headers = wire.left(wire.indexOf("\r\n\r\n"));
        for (const QByteArray& line : headers.split('\n')) {
            EXPECT_FALSE(line.startsWith("Bcc")) << line.toStdString();
            EXPECT_FALSE(line.startsWith("X-Evil")) << line.toStdString();
        }
        const QJsonObject parsed = ParseWithPython(wire);
        for (const QJsonValue& h : parsed.value(u"headers").toArray())
            EXPECT_TRUE(h.toString() != u"Bcc" && h.toString() != u"X-Evil");
        EXPECT_EQ(parsed.value(u"body").toString(), QStringLiteral("corps"));
    }
}

// Message-IDs stay unique across threads and keep to the header's syntax, whatever the
// sender's domain holds.
TEST(MimeHeaders, MessageIdsAreUniqueAndWellFormed) {
    const struct {
        const char* address;
        const char* domain;
    } cases[] = {
        {"station@example.org", "example.org"},
        {"station@radio-1.example.fr", "radio-1.example.fr"},
        {"station@exa mple.org", "localhost"},
        {"station@", "localhost"},
        {"station@réseau.fr", "localhost"},
    };
    static const QRegularExpression header(
        QStringLiteral("^Message-ID: <([a-z0-9.]+)@([^>]+)>\\r$"),
        QRegularExpression::MultilineOption);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        mail::detail::MessageContent content;
        content.from.address = QString::fromUtf8(c.address);
        const auto match =
            header.match(QString::fromLatin1(mail::detail::BuildTopHeaders(content)));
        ASSERT_TRUE(match.hasMatch());
        EXPECT_EQ(match.captured(2), QString::fromUtf8(c.domain));
    }
    // Four threads building headers at once never meet the same identifier.
    std::vector<std::vector<QString>> ids(4);
    std::vector<std::thread> threads;
    for (auto& mine : ids)
        threads.emplace_back([&mine] {
            mail::detail::MessageContent content;
            content.from.address = QStringLiteral("a@example.org");
            for (int i = 0; i < 2000; ++i)
                mine.push_back(
                    header.match(QString::fromLatin1(mail::detail::BuildTopHeaders(content)))
                        .captured(1));
        });
    for (auto& t : threads)
        t.join();
    QSet<QString> seen;
    for (const auto& mine : ids)
        for (const QString& id : mine)
            seen.insert(id);
    EXPECT_EQ(seen.size(), 8000);
}
