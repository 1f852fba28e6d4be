// MIME building with GMime; the header words are written here because GMime converts
// through iconv, which lacks some of the character sets the program offers.
#include "mail/mime/mime_builder.h"

#include "mail/engine/c_handles.h"
#include "mail/engine/library_init.h"
#include "mail/mime/charset_codec.h"
#include "system/clock.h"
#include "system/untrusted_text.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QLocale>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QUrl>

#include <gmime/gmime.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <random>

namespace mail::detail {

namespace {

// Longest encoded word, so that "Subject: " plus one word stays within 76 characters.
constexpr int kMaxWordLength = 66;

bool isPrintableAscii(const QString& text) {
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    return true;
}

QByteArray encodedWord(const QByteArray& charsetName, const QByteArray& bytes) {
    return "=?" + charsetName + "?B?" + bytes.toBase64() + "?=";
}

// Splits `text` into encoded words no longer than kMaxWordLength; each word holds whole
// characters and, for stateful character sets, ends in the initial state.
QList<QByteArray> encodeWords(const QString& text, const QString& charset) {
    QList<QByteArray> words;
    const QByteArray name = charset.toLatin1();
    const int maxBytes = (kMaxWordLength - 7 - int(name.size())) / 4 * 3;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = start;
        QByteArray best;
        while (end < text.size()) {
            qsizetype next = end + 1;
            if (text.at(end).isHighSurrogate() && next < text.size())
                ++next;
            const auto bytes = charset::Encode(text.mid(start, next - start), charset);
            if (!bytes || (bytes->size() > maxBytes && end > start))
                break;
            best = *bytes;
            end = next;
        }
        if (end == start) // a character the charset cannot hold: caller checked, never here
            break;
        words << encodedWord(name, best);
        start = end;
    }
    return words;
}

// Folds plain ASCII header text at spaces so that lines stay short.
QByteArray foldPlain(const QString& text, int firstLineUsed) {
    const QStringList parts = text.split(u' ');
    QByteArray out;
    int lineLength = firstLineUsed;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray word = parts.at(i).toLatin1();
        if (i > 0) {
            if (lineLength + 1 + word.size() > 76 && lineLength > firstLineUsed) {
                out += "\r\n";
                lineLength = 0;
            }
            out += ' ';
            ++lineLength;
        }
        out += word;
        lineLength += int(word.size());
    }
    return out;
}

bool isAtext(QChar c) {
    static const QString specials = QStringLiteral("!#$%&'*+-/=?^_`{|}~");
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           specials.contains(c);
}

// A display name as a header phrase: atoms as they are, other ASCII quoted, the rest encoded.
QByteArray encodePhrase(const QString& rawName, const QString& charset) {
    const QString name = Untrusted::Clean(rawName).simplified();
    if (name.isEmpty())
        return {};
    if (isPrintableAscii(name) && !name.contains(u"=?")) {
        bool atoms = true;
        for (QChar c : name)
            if (c != u' ' && !isAtext(c))
                atoms = false;
        if (atoms)
            return name.toLatin1();
        QByteArray quoted = "\"";
        for (QChar c : name) {
            if (c == u'"' || c == u'\\')
                quoted += '\\';
            quoted += char(c.unicode());
        }
        return quoted + "\"";
    }
    return EncodeHeaderText(name, charset);
}

QByteArray formatMailbox(const Mailbox& box, const QString& charset) {
    QString error;
    const QByteArray address = CheckAddress(box.address, error).toLatin1();
    const QByteArray phrase = encodePhrase(box.name, charset);
    if (phrase.isEmpty())
        return address;
    // The address goes on a line of its own when the name's last line is already long.
    const qsizetype lastLine = phrase.size() - (phrase.lastIndexOf('\n') + 1);
    return phrase + (lastLine + address.size() > 60 ? "\r\n <" : " <") + address + ">";
}

QByteArray formatMailboxList(const QByteArray& field, const QList<Mailbox>& boxes,
                             const QString& charset) {
    QByteArray out = field + ": ";
    int lineLength = int(out.size());
    for (qsizetype i = 0; i < boxes.size(); ++i) {
        const QByteArray one = formatMailbox(boxes.at(i), charset);
        if (i > 0) {
            out += ',';
            if (lineLength + 2 + one.size() > 76) {
                out += "\r\n";
                lineLength = 0;
            }
            out += ' ';
            lineLength += 2;
        }
        out += one;
        const qsizetype lastBreak = one.lastIndexOf('\n');
        lineLength = lastBreak < 0 ? lineLength + int(one.size()) : int(one.size() - lastBreak);
    }
    return out + "\r\n";
}

const QString& effectiveCharset(const QString& charset) {
    static const QString utf8 = QStringLiteral("utf-8");
    return charset.trimmed().isEmpty() ? utf8 : charset;
}

GMimeStream* memoryStream(const QByteArray& bytes) {
    return g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size()));
}

void setPartContent(GMimePart* part, const QByteArray& bytes) {
    GPtr<GMimeStream> stream(memoryStream(bytes));
    GPtr<GMimeDataWrapper> wrapper(
        g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part, wrapper.get());
}

// Text with every line break as a single LF.
QString unixLineEnds(const QString& text) {
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(u'\r', u'\n');
    return out;
}

GPtr<GMimePart> buildTextPart(const QString& body, const QString& wanted) {
    QString charsetId = wanted;
    const QString text = unixLineEnds(body);
    auto bytes = charset::Encode(text, charsetId);
    if (!bytes) {
        charsetId = QStringLiteral("utf-8");
        bytes = text.toUtf8();
    }
    GPtr<GMimePart> part(reinterpret_cast<GMimePart*>(g_mime_text_part_new_with_subtype("plain")));
    g_mime_object_set_content_type_parameter(GMIME_OBJECT(part.get()), "charset",
                                             charsetId.toLatin1().constData());
    setPartContent(part.get(), *bytes);
    const GMimeContentEncoding encoding =
        g_mime_part_get_best_content_encoding(part.get(), GMIME_ENCODING_CONSTRAINT_7BIT);
    if (encoding == GMIME_CONTENT_ENCODING_BASE64) {
        // Inside base64 the canonical CRLF line ends must be in the content itself.
        QString crlf = text;
        crlf.replace(u'\n', QStringLiteral("\r\n"));
        setPartContent(part.get(),
                       charsetId == wanted ? *charset::Encode(crlf, charsetId) : crlf.toUtf8());
    }
    g_mime_part_set_content_encoding(part.get(), encoding);
    return part;
}

GPtr<GMimePart> buildAttachmentPart(const AttachmentData& attachment) {
    static const QMimeDatabase mimeDatabase;
    const QString type =
        mimeDatabase.mimeTypeForFile(attachment.fileName, QMimeDatabase::MatchExtension).name();
    const QStringList pieces = type.split(u'/');
    const QByteArray major = pieces.size() == 2 ? pieces[0].toLatin1() : "application";
    const QByteArray minor = pieces.size() == 2 ? pieces[1].toLatin1() : "octet-stream";
    GPtr<GMimePart> part(g_mime_part_new_with_type(major.constData(), minor.constData()));
    setPartContent(part.get(), attachment.data);
    g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
    const QByteArray fileName = Untrusted::Clean(attachment.fileName).toUtf8();
    g_mime_part_set_filename(part.get(), fileName.constData());
    // The Content-Disposition filename stays in RFC 2231 form; the Content-Type name goes in
    // RFC 2047 form as well, which is the one older Outlook versions display.
    GMimeContentType* contentType = g_mime_object_get_content_type(GMIME_OBJECT(part.get()));
    GMimeParamList* params = g_mime_content_type_get_parameters(contentType);
    if (GMimeParam* name = g_mime_param_list_get_parameter(params, "name"))
        g_mime_param_set_encoding_method(name, GMIME_PARAM_ENCODING_METHOD_RFC2047);
    return part;
}

} // namespace

QString CheckAddress(const QString& rawAddress, QString& error) {
    const QString address = rawAddress.trimmed();
    for (QChar c : rawAddress) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            error = QStringLiteral("Adresse refusée (caractère de contrôle ou saut de ligne) : %1")
                        .arg(Untrusted::Clean(rawAddress));
            return {};
        }
    }
    const qsizetype at = address.lastIndexOf(u'@');
    const QString local = at > 0 ? address.left(at) : QString();
    const QString domain = at > 0 ? address.mid(at + 1) : QString();
    static const QRegularExpression localPattern(
        QStringLiteral("^[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+(\\.[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+)*$"));
    static const QRegularExpression domainPattern(
        QStringLiteral("^([A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?\\.)*[A-Za-z0-9]([A-Za-z0-9-]{"
                       "0,61}[A-Za-z0-9])?$|^\\[[0-9A-Fa-f:.]+\\]$"));
    const QString aceDomain = QString::fromLatin1(QUrl::toAce(domain));
    if (local.isEmpty() || domain.isEmpty() || !localPattern.match(local).hasMatch() ||
        aceDomain.isEmpty() || !domainPattern.match(aceDomain).hasMatch() || local.size() > 64 ||
        address.size() > 254) {
        error = QStringLiteral("Adresse email invalide : %1").arg(address);
        return {};
    }
    return local + u'@' + aceDomain;
}

bool ParseAddressList(const QString& list, QList<Mailbox>& out, QString& error) {
    for (QChar c : list) {
        if ((c.unicode() < 0x20 && c != u'\t') || c.unicode() == 0x7f) {
            error =
                QStringLiteral(
                    "Liste de destinataires refusée (caractère de contrôle ou saut de ligne) : %1")
                    .arg(Untrusted::Clean(list));
            return false;
        }
    }
    QString text = list;
    text.replace(u'\t', u' ');
    if (text.trimmed().isEmpty())
        return true;
    InitMailLibraries();
    GPtr<InternetAddressList> parsed(
        internet_address_list_parse(nullptr, text.toUtf8().constData()));
    if (!parsed) {
        error = QStringLiteral("Liste de destinataires illisible : %1").arg(text);
        return false;
    }
    // Walk mailboxes, flattening groups.
    std::function<bool(InternetAddressList*)> walk = [&](InternetAddressList* addresses) {
        const int count = internet_address_list_length(addresses);
        for (int i = 0; i < count; ++i) {
            InternetAddress* ia = internet_address_list_get_address(addresses, i);
            if (INTERNET_ADDRESS_IS_GROUP(ia)) {
                if (!walk(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia))))
                    return false;
                continue;
            }
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia));
            const char* name = internet_address_get_name(ia);
            Mailbox box{QString::fromUtf8(name ? name : ""), QString::fromUtf8(addr ? addr : "")};
            if (box.address.trimmed().isEmpty())
                continue;
            const QString checked = CheckAddress(box.address, error);
            if (checked.isEmpty())
                return false;
            box.address = checked;
            out << box;
        }
        return true;
    };
    if (!walk(parsed.get()))
        return false;
    return true;
}

QByteArray EncodeHeaderText(const QString& rawText, const QString& charset) {
    const QString text = Untrusted::Clean(rawText);
    if (isPrintableAscii(text) && !text.contains(u"=?"))
        return foldPlain(text, 9);
    QString id = effectiveCharset(charset);
    if (!charset::Encode(text, id))
        id = QStringLiteral("utf-8");
    return encodeWords(text, id).join("\r\n ");
}

QByteArray BuildContentEntity(const MessageContent& content, QString& error) {
    InitMailLibraries();
    GPtr<GMimePart> text = buildTextPart(content.body, effectiveCharset(content.charset));
    GMimeObject* entity = GMIME_OBJECT(text.get());
    GPtr<GMimeMultipart> mixed;
    if (!content.deliveryStatus.isEmpty()) {
        // A delivery report: the readable text, then the fields a program reads.
        mixed.reset(g_mime_multipart_new_with_subtype("report"));
        g_mime_object_set_content_type_parameter(GMIME_OBJECT(mixed.get()), "report-type",
                                                 "delivery-status");
        g_mime_multipart_add(mixed.get(), GMIME_OBJECT(text.get()));
        GPtr<GMimePart> status(g_mime_part_new_with_type("message", "delivery-status"));
        setPartContent(status.get(), content.deliveryStatus);
        g_mime_part_set_content_encoding(status.get(), GMIME_CONTENT_ENCODING_7BIT);
        g_mime_multipart_add(mixed.get(), GMIME_OBJECT(status.get()));
        entity = GMIME_OBJECT(mixed.get());
    } else if (!content.attachments.isEmpty()) {
        mixed.reset(g_mime_multipart_new_with_subtype("mixed"));
        g_mime_multipart_add(mixed.get(), GMIME_OBJECT(text.get()));
        for (const AttachmentData& attachment : content.attachments) {
            GPtr<GMimePart> part = buildAttachmentPart(attachment);
            g_mime_multipart_add(mixed.get(), GMIME_OBJECT(part.get()));
        }
        entity = GMIME_OBJECT(mixed.get());
    }
    GMimeOptions options(g_mime_format_options_new());
    g_mime_format_options_set_newline_format(options.get(), GMIME_NEWLINE_FORMAT_DOS);
    GText serialised(g_mime_object_to_string(entity, options.get()));
    if (!serialised) {
        error = QStringLiteral("Impossible de construire le message (MIME).");
        return {};
    }
    return QByteArray(serialised.get());
}

namespace {

// The local time for the Date header. Asking the system for the local time zone reads the
// zone files again each time; the zone's offset is taken once a minute instead, which is
// plenty for a header (the instant itself is always exact).
QDateTime localNow() {
    static std::mutex mutex;
    static int offsetSeconds = 0;
    static QDeadlineTimer fresh(0);
    const QDateTime utc = QDateTime::fromMSecsSinceEpoch(Clock::WallMs(), Qt::UTC);
    std::lock_guard lock(mutex);
    if (fresh.hasExpired()) {
        offsetSeconds = QDateTime::currentDateTime().offsetFromUtc();
        fresh.setRemainingTime(60000);
    }
    return utc.toOffsetFromUtc(offsetSeconds);
}

// A Message-ID unique to this mail: the instant, the process, a counter of the process and
// 64 random bits, at the sender's domain. The random generator of each thread is seeded once
// from the system, not for every mail (a job of thousands of rows would read the system's
// random source for each one).
QByteArray messageId(const QString& domain) {
    static std::atomic<quint64> counter{0};
    thread_local std::mt19937_64 random{[] {
        std::random_device seed;
        return (static_cast<quint64>(seed()) << 32) ^ seed();
    }()};
    static const QByteArray process = QByteArray::number(::getpid(), 36);
    QByteArray host = domain.toLatin1();
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9.\\-]"));
    if (host.isEmpty() || domain.contains(unsafe))
        host = "localhost";
    return QByteArray::number(Clock::WallMs(), 36) + '.' + process + '.' +
           QByteArray::number(counter.fetch_add(1, std::memory_order_relaxed), 36) + '.' +
           QByteArray::number(random(), 36) + '@' + host;
}

} // namespace

QByteArray BuildTopHeaders(const MessageContent& content) {
    const QString& cs = effectiveCharset(content.charset);
    QByteArray out = formatMailboxList("From", {content.from}, cs);
    if (!content.to.isEmpty())
        out += formatMailboxList("To", content.to, cs);
    if (!content.cc.isEmpty())
        out += formatMailboxList("Cc", content.cc, cs);
    out += "Subject: " + EncodeHeaderText(content.subject, cs) + "\r\n";
    const QDateTime now = localNow();
    out += "Date: " +
           QLocale::c().toString(now, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss ")).toLatin1();
    const int offset = now.offsetFromUtc() / 60;
    out += QStringLiteral("%1%2%3\r\n")
               .arg(QChar(offset < 0 ? u'-' : u'+'))
               .arg(std::abs(offset) / 60, 2, 10, QChar(u'0'))
               .arg(std::abs(offset) % 60, 2, 10, QChar(u'0'))
               .toLatin1();
    out += "Message-ID: <" + messageId(content.from.address.section(u'@', -1)) + ">\r\n";
    out += "MIME-Version: 1.0\r\n";
    return out;
}

} // namespace mail::detail
