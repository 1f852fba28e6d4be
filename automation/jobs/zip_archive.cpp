// Zip reading on zlib: the end record and central directory are checked against the size of
// the buffer before any use, entries inflate through a bounded stream, and each entry's CRC
// is checked when its stream ends.
#include "automation/jobs/zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace automation {

namespace {

constexpr quint32 kLocalHeader = 0x04034b50;
constexpr quint32 kCentralHeader = 0x02014b50;
constexpr quint32 kEndRecord = 0x06054b50;
constexpr quint32 kEnd64Record = 0x06064b50;
constexpr quint32 kEnd64Locator = 0x07064b50;

quint16 u16(const QByteArray& b, qint64 at) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.constData() + at);
    return static_cast<quint16>(p[0] | (p[1] << 8));
}

quint32 u32(const QByteArray& b, qint64 at) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.constData() + at);
    return static_cast<quint32>(p[0]) | (static_cast<quint32>(p[1]) << 8) |
           (static_cast<quint32>(p[2]) << 16) | (static_cast<quint32>(p[3]) << 24);
}

quint64 u64(const QByteArray& b, qint64 at) {
    return static_cast<quint64>(u32(b, at)) | (static_cast<quint64>(u32(b, at + 4)) << 32);
}

bool fits(const QByteArray& b, qint64 at, qint64 length) {
    return at >= 0 && length >= 0 && at <= b.size() && length <= b.size() - at;
}

// Values of 64-bit fields from a zip64 extra field, for the 32-bit fields that say so.
bool applyZip64Extra(const QByteArray& b, qint64 extra, qint64 extraLength, ZipEntry& e,
                     bool sizeMarked, bool compressedMarked, bool offsetMarked) {
    qint64 at = extra;
    const qint64 end = extra + extraLength;
    while (at + 4 <= end) {
        const quint16 id = u16(b, at);
        const quint16 length = u16(b, at + 2);
        if (at + 4 + length > end)
            return false;
        if (id == 0x0001) {
            qint64 field = at + 4;
            const qint64 fieldEnd = field + length;
            auto take = [&](qint64& value) {
                if (field + 8 > fieldEnd)
                    return false;
                const quint64 v = u64(b, field);
                if (v > static_cast<quint64>(std::numeric_limits<qint64>::max()))
                    return false;
                value = static_cast<qint64>(v);
                field += 8;
                return true;
            };
            if (sizeMarked && !take(e.size))
                return false;
            if (compressedMarked && !take(e.compressedSize))
                return false;
            if (offsetMarked && !take(e.localOffset))
                return false;
            return true;
        }
        at += 4 + length;
    }
    return !(sizeMarked || compressedMarked || offsetMarked);
}

} // namespace

struct ZipEntryDevice::Inflater {
    z_stream stream{};
    bool ready = false;
    ~Inflater() {
        if (ready)
            inflateEnd(&stream);
    }
};

ZipEntryDevice::ZipEntryDevice(ZipArchive& archive, const ZipEntry& entry, const char* data,
                               qint64 size)
    : archive_(archive), entry_(entry), data_(data), dataSize_(size),
      crc_(static_cast<quint32>(crc32(0L, Z_NULL, 0))) {
    if (entry_.method == 8) {
        inflater_ = std::make_unique<Inflater>();
        if (inflateInit2(&inflater_->stream, -MAX_WBITS) == Z_OK)
            inflater_->ready = true;
        else
            fail(QStringLiteral("%1: the inflater could not start").arg(entry_.name));
    }
    open(QIODevice::ReadOnly);
}

ZipEntryDevice::~ZipEntryDevice() = default;

void ZipEntryDevice::fail(const QString& why) {
    if (error_.isEmpty())
        error_ = why;
    finished_ = true;
}

qint64 ZipEntryDevice::readData(char* data, qint64 maxSize) {
    if (finished_)
        return -1;
    if (maxSize <= 0)
        return 0;
    const ZipLimits& limits = archive_.limits_;
    const qint64 entryRoom = std::min(entry_.size, limits.maxEntryBytes) - produced_;
    const qint64 totalRoom = limits.maxTotalBytes - archive_.totalProduced_;
    // One byte more than allowed is asked for, so that an entry longer than it says shows.
    const qint64 want = std::min({maxSize, std::max<qint64>(entryRoom, 0) + 1,
                                  std::max<qint64>(totalRoom, 0) + 1, qint64(1) << 20});
    qint64 got = 0;
    if (entry_.method == 0) {
        got = std::min(want, dataSize_ - consumed_);
        std::memcpy(data, data_ + consumed_, static_cast<size_t>(got));
        consumed_ += got;
        if (consumed_ == dataSize_)
            finished_ = true;
    } else {
        z_stream& z = inflater_->stream;
        z.next_out = reinterpret_cast<Bytef*>(data);
        z.avail_out = static_cast<uInt>(want);
        while (z.avail_out > 0) {
            const qint64 inLeft = dataSize_ - consumed_;
            const uInt chunk = static_cast<uInt>(std::min<qint64>(inLeft, 1 << 20));
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data_ + consumed_));
            z.avail_in = chunk;
            const int rc = inflate(&z, Z_NO_FLUSH);
            consumed_ += chunk - z.avail_in;
            if (rc == Z_STREAM_END) {
                finished_ = true;
                break;
            }
            if (rc == Z_BUF_ERROR && chunk == 0) {
                fail(QStringLiteral("%1: compressed data ends early").arg(entry_.name));
                return -1;
            }
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                fail(QStringLiteral("%1: corrupt compressed data").arg(entry_.name));
                return -1;
            }
        }
        got = want - z.avail_out;
    }
    crc_ = static_cast<quint32>(
        crc32(crc_, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(got)));
    produced_ += got;
    archive_.totalProduced_ += got;
    if (produced_ > entry_.size) {
        fail(QStringLiteral("%1: more data than the archive declares").arg(entry_.name));
        return -1;
    }
    if (produced_ > limits.maxEntryBytes) {
        fail(QStringLiteral("%1: expands beyond %2 bytes")
                 .arg(entry_.name)
                 .arg(limits.maxEntryBytes));
        return -1;
    }
    if (archive_.totalProduced_ > limits.maxTotalBytes) {
        fail(QStringLiteral("the archive expands beyond %1 bytes").arg(limits.maxTotalBytes));
        return -1;
    }
    if (finished_) {
        if (produced_ != entry_.size) {
            fail(QStringLiteral("%1: less data than the archive declares").arg(entry_.name));
            return -1;
        }
        if (crc_ != entry_.crc) {
            fail(QStringLiteral("%1: CRC mismatch").arg(entry_.name));
            return -1;
        }
    }
    return got;
}

bool ZipArchive::looksLikeZip(const QByteArray& bytes) {
    return bytes.size() >= 4 && (u32(bytes, 0) == kLocalHeader || u32(bytes, 0) == kEndRecord);
}

bool ZipArchive::open(const QByteArray& b, const ZipLimits& limits, QString& error) {
    bytes_ = &b;
    limits_ = limits;
    entries_.clear();
    totalProduced_ = 0;

    // The end record: its fixed 22 bytes and a comment of at most 65535 bytes.
    qint64 end = -1;
    for (qint64 at = b.size() - 22; at >= 0 && at >= b.size() - 22 - 65535; --at) {
        if (u32(b, at) == kEndRecord && at + 22 + u16(b, at + 20) == b.size()) {
            end = at;
            break;
        }
    }
    if (end < 0) {
        error = QStringLiteral("no zip end record");
        return false;
    }
    if (u16(b, end + 4) != 0 || u16(b, end + 6) != 0) {
        error = QStringLiteral("multi-volume zip archive");
        return false;
    }
    quint64 count = u16(b, end + 10);
    quint64 cdSize = u32(b, end + 12);
    quint64 cdOffset = u32(b, end + 16);
    if (count == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF) {
        const qint64 locator = end - 20;
        if (locator < 0 || u32(b, locator) != kEnd64Locator) {
            error = QStringLiteral("zip64 archive without its locator");
            return false;
        }
        const quint64 record = u64(b, locator + 8);
        if (record > static_cast<quint64>(b.size()) || !fits(b, qint64(record), 56) ||
            u32(b, qint64(record)) != kEnd64Record) {
            error = QStringLiteral("zip64 end record out of the file");
            return false;
        }
        count = u64(b, qint64(record) + 32);
        cdSize = u64(b, qint64(record) + 40);
        cdOffset = u64(b, qint64(record) + 48);
    }
    if (count > static_cast<quint64>(limits_.maxEntries)) {
        error = QStringLiteral("%1 entries, more than the limit of %2")
                    .arg(count)
                    .arg(limits_.maxEntries);
        return false;
    }
    if (cdOffset > static_cast<quint64>(b.size()) || cdSize > static_cast<quint64>(b.size()) ||
        !fits(b, qint64(cdOffset), qint64(cdSize))) {
        error = QStringLiteral("central directory out of the file");
        return false;
    }
    qint64 at = qint64(cdOffset);
    const qint64 cdEnd = at + qint64(cdSize);
    for (quint64 i = 0; i < count; ++i) {
        if (at + 46 > cdEnd || u32(b, at) != kCentralHeader) {
            error = QStringLiteral("central directory entry %1 is damaged").arg(i + 1);
            return false;
        }
        const quint16 flags = u16(b, at + 8);
        const quint16 nameLength = u16(b, at + 28);
        const quint16 extraLength = u16(b, at + 30);
        const quint16 commentLength = u16(b, at + 32);
        if (at + 46 + nameLength + extraLength + commentLength > cdEnd) {
            error = QStringLiteral("central directory entry %1 is damaged").arg(i + 1);
            return false;
        }
        ZipEntry e;
        e.method = u16(b, at + 10);
        e.encrypted = (flags & 0x1) != 0;
        e.crc = u32(b, at + 16);
        e.compressedSize = u32(b, at + 20);
        e.size = u32(b, at + 24);
        e.localOffset = u32(b, at + 42);
        const QByteArray rawName = b.mid(at + 46, nameLength);
        e.name = (flags & 0x800) ? QString::fromUtf8(rawName) : QString::fromLatin1(rawName);
        if (!applyZip64Extra(b, at + 46 + nameLength, extraLength, e, e.size == 0xFFFFFFFF,
                             e.compressedSize == 0xFFFFFFFF, e.localOffset == 0xFFFFFFFF)) {
            error = QStringLiteral("%1: damaged zip64 sizes").arg(e.name);
            return false;
        }
        entries_.push_back(std::move(e));
        at += 46 + nameLength + extraLength + commentLength;
    }
    return true;
}

const ZipEntry* ZipArchive::find(const QString& name) const {
    for (const ZipEntry& e : entries_)
        if (e.name.compare(name, Qt::CaseInsensitive) == 0)
            return &e;
    return nullptr;
}

std::unique_ptr<ZipEntryDevice> ZipArchive::openEntry(const ZipEntry& e, QString& error) {
    const QByteArray& b = *bytes_;
    if (e.encrypted) {
        error = QStringLiteral("%1 is encrypted").arg(e.name);
        return nullptr;
    }
    if (e.method != 0 && e.method != 8) {
        error = QStringLiteral("%1 uses compression method %2").arg(e.name).arg(e.method);
        return nullptr;
    }
    if (!fits(b, e.localOffset, 30) || u32(b, e.localOffset) != kLocalHeader) {
        error = QStringLiteral("%1: local header out of the file").arg(e.name);
        return nullptr;
    }
    const qint64 data =
        e.localOffset + 30 + u16(b, e.localOffset + 26) + u16(b, e.localOffset + 28);
    if (!fits(b, data, e.compressedSize)) {
        error = QStringLiteral("%1: data out of the file").arg(e.name);
        return nullptr;
    }
    if (e.size > limits_.maxEntryBytes) {
        error = QStringLiteral("%1: declares %2 bytes, more than the limit of %3")
                    .arg(e.name)
                    .arg(e.size)
                    .arg(limits_.maxEntryBytes);
        return nullptr;
    }
    // Deflate cannot honestly reach more than about 1032:1; a larger claim is a bomb.
    if (e.size > std::max<qint64>(e.compressedSize, 1024) * limits_.maxRatio) {
        error = QStringLiteral("%1: expansion ratio beyond %2").arg(e.name).arg(limits_.maxRatio);
        return nullptr;
    }
    if (e.method == 0 && e.compressedSize != e.size) {
        error = QStringLiteral("%1: stored entry with two different sizes").arg(e.name);
        return nullptr;
    }
    auto device = std::unique_ptr<ZipEntryDevice>(
        new ZipEntryDevice(*this, e, b.constData() + data, e.compressedSize));
    if (device->failed()) {
        error = device->error();
        return nullptr;
    }
    return device;
}

bool ZipArchive::readEntry(const ZipEntry& entry, qint64 maxBytes, QByteArray& out,
                           QString& error) {
    out.clear();
    if (entry.size > maxBytes) {
        error = QStringLiteral("%1: %2 bytes, more than the limit of %3")
                    .arg(entry.name)
                    .arg(entry.size)
                    .arg(maxBytes);
        return false;
    }
    auto device = openEntry(entry, error);
    if (!device)
        return false;
    out.reserve(static_cast<qsizetype>(entry.size));
    char buffer[65536];
    for (;;) {
        const qint64 n = device->read(buffer, sizeof buffer);
        if (n > 0)
            out.append(buffer, static_cast<qsizetype>(n));
        if (device->failed()) {
            error = device->error();
            out.clear();
            return false;
        }
        if (n <= 0)
            break;
    }
    return true;
}

} // namespace automation
