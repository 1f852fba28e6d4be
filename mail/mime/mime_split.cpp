// The message split with GMime: parsed, its top-level attachments taken out largest first,
// the rest written again with CRLF line ends.
#include "mail/mime/mime_split.h"

#include "mail/engine/c_handles.h"
#include "mail/engine/library_init.h"

#include <algorithm>
#include <vector>

namespace mail::detail {

namespace {

GPtr<GMimeMessage> parse(const QByteArray& message) {
    InitMailLibraries();
    GPtr<GMimeStream> in(g_mime_stream_mem_new_with_buffer(message.constData(),
                                                           static_cast<size_t>(message.size())));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(in.get()));
    return GPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

QString wholeReason(GMimeObject* top) {
    if (!top)
        return {};
    GMimeContentType* type = g_mime_object_get_content_type(top);
    if (g_mime_content_type_is_type(type, "multipart", "signed"))
        return QStringLiteral("signé");
    if (g_mime_content_type_is_type(type, "multipart", "encrypted"))
        return QStringLiteral("chiffré");
    if (g_mime_content_type_is_type(type, "application", "pkcs7-mime") ||
        g_mime_content_type_is_type(type, "application", "x-pkcs7-mime")) {
        const char* kind = g_mime_content_type_get_parameter(type, "smime-type");
        return kind && QByteArray(kind).compare("signed-data", Qt::CaseInsensitive) == 0
                   ? QStringLiteral("signé")
                   : QStringLiteral("chiffré");
    }
    return {};
}

QByteArray bytesOf(GMimeStream* stream) {
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    return QByteArray(reinterpret_cast<const char*>(bytes->data),
                      static_cast<qsizetype>(bytes->len));
}

QByteArray written(GMimeObject* object) {
    GMimeOptions options(g_mime_format_options_new());
    g_mime_format_options_set_newline_format(options.get(), GMIME_NEWLINE_FORMAT_DOS);
    GPtr<GMimeStream> out(g_mime_stream_mem_new());
    if (g_mime_object_write_to_stream(object, options.get(), out.get()) < 0)
        return {};
    return bytesOf(out.get());
}

qsizetype base64Size(qsizetype bytes) {
    return (bytes + 2) / 3 * 4;
}

} // namespace

QString MustTravelWhole(const QByteArray& message) {
    const GPtr<GMimeMessage> parsed = parse(message);
    return parsed ? wholeReason(g_mime_message_get_mime_part(parsed.get())) : QString();
}

bool SplitAttachments(const QByteArray& message, qsizetype restLimit, SplitMessage& out,
                      QString& error) {
    out = {};
    const GPtr<GMimeMessage> parsed = parse(message);
    GMimeObject* top = parsed ? g_mime_message_get_mime_part(parsed.get()) : nullptr;
    if (!top) {
        error = QStringLiteral("le message ne peut pas être relu pour en détacher les pièces "
                               "jointes");
        return false;
    }
    if (const QString whole = wholeReason(top); !whole.isEmpty()) {
        error = QStringLiteral("le message est %1 : il doit voyager entier").arg(whole);
        return false;
    }
    // The attachments of the top level, by the size they take in the message.
    struct Candidate {
        int index;
        GMimePart* part;
        qsizetype size;
    };
    std::vector<Candidate> candidates;
    GMimeMultipart* multipart = GMIME_IS_MULTIPART(top) ? GMIME_MULTIPART(top) : nullptr;
    for (int i = 0; multipart && i < g_mime_multipart_get_count(multipart); ++i) {
        GMimeObject* child = g_mime_multipart_get_part(multipart, i);
        if (!GMIME_IS_PART(child) || GMIME_IS_TEXT_PART(child))
            continue;
        GMimePart* part = GMIME_PART(child);
        if (!g_mime_part_is_attachment(part) && !g_mime_part_get_filename(part))
            continue;
        candidates.push_back({i, part, written(child).size()});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.size > b.size; });
    // The weight of the rest is estimated as attachments leave, then measured once written.
    qsizetype restSize = written(GMIME_OBJECT(parsed.get())).size();
    std::vector<Candidate> taken;
    for (const Candidate& c : candidates) {
        if (base64Size(restSize) <= restLimit)
            break;
        taken.push_back(c);
        restSize = std::max<qsizetype>(0, restSize - c.size);
    }
    // Their content, decoded, in the order of the message; then they leave it.
    std::sort(taken.begin(), taken.end(),
              [](const Candidate& a, const Candidate& b) { return a.index < b.index; });
    std::vector<int> removed;
    for (const Candidate& c : taken) {
        DetachedAttachment attachment;
        const char* name = g_mime_part_get_filename(c.part);
        attachment.fileName = name ? QString::fromUtf8(name) : QStringLiteral("piece-jointe");
        GText type(g_mime_content_type_get_mime_type(
            g_mime_object_get_content_type(GMIME_OBJECT(c.part))));
        attachment.contentType =
            type ? QString::fromUtf8(type.get()) : QStringLiteral("application/octet-stream");
        GPtr<GMimeStream> data(g_mime_stream_mem_new());
        if (GMimeDataWrapper* content = g_mime_part_get_content(c.part))
            g_mime_data_wrapper_write_to_stream(content, data.get());
        attachment.data = bytesOf(data.get());
        if (attachment.data.isEmpty())
            continue; // nothing to upload: it stays in the rest
        out.attachments.append(std::move(attachment));
        removed.push_back(c.index);
    }
    for (auto it = removed.rbegin(); it != removed.rend(); ++it) {
        const GPtr<GMimeObject> gone(g_mime_multipart_remove_at(multipart, *it));
    }
    out.rest = written(GMIME_OBJECT(parsed.get()));
    if (out.rest.isEmpty() || base64Size(out.rest.size()) > restLimit) {
        error = QStringLiteral("le message reste trop lourd une fois ses pièces jointes "
                               "détachées");
        return false;
    }
    return true;
}

} // namespace mail::detail
