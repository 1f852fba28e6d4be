// A small, bounded reader of zip archives held in memory, for the workbook job files: lists
// the entries from the central directory and inflates one entry at a time as a stream.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <vector>

namespace automation {

// Limits every archive is held to; a file beyond any of them is refused, never expanded.
struct ZipLimits {
    int maxEntries = 10000;                     // entries in the central directory
    qint64 maxEntryBytes = 256LL * 1024 * 1024; // expanded size of one entry
    qint64 maxTotalBytes = 512LL * 1024 * 1024; // expanded bytes read from the archive
    qint64 maxRatio = 2000;                     // expanded / compressed size of one entry
};

// One entry of the central directory.
struct ZipEntry {
    QString name;           // as stored ("/" separators)
    qint64 localOffset = 0; // offset of the local header
    qint64 compressedSize = 0;
    qint64 size = 0; // declared expanded size
    quint32 crc = 0;
    int method = 0; // 0 stored, 8 deflated
    bool encrypted = false;
};

class ZipArchive;

// Streams the expanded bytes of one entry. Reading past the declared size, a CRC mismatch,
// a corrupt stream or a limit reached ends the stream with failed() true and error() set.
class ZipEntryDevice : public QIODevice {
public:
    ~ZipEntryDevice() override;
    bool isSequential() const override { return true; }
    bool failed() const { return !error_.isEmpty(); }
    QString error() const { return error_; }
    // Bytes produced so far.
    qint64 produced() const { return produced_; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    friend class ZipArchive;
    struct Inflater;
    ZipEntryDevice(ZipArchive& archive, const ZipEntry& entry, const char* data, qint64 size);
    void fail(const QString& why);

    ZipArchive& archive_;
    ZipEntry entry_;
    const char* data_;
    qint64 dataSize_;
    qint64 consumed_ = 0;
    qint64 produced_ = 0;
    quint32 crc_ = 0;
    bool finished_ = false;
    QString error_;
    std::unique_ptr<Inflater> inflater_;
};

class ZipArchive {
public:
    // True when `bytes` begins like a zip archive (a local header or an empty archive).
    static bool looksLikeZip(const QByteArray& bytes);

    // Reads the central directory of `bytes` (which must outlive the archive). Returns false
    // with `error` set for anything that is not a sound, unencrypted archive within `limits`.
    bool open(const QByteArray& bytes, const ZipLimits& limits, QString& error);

    const std::vector<ZipEntry>& entries() const { return entries_; }
    // The entry named `name`, compared without regard to case (the workbook formats treat
    // part names so); nullptr when absent.
    const ZipEntry* find(const QString& name) const;

    // A stream of the expanded bytes of `entry`; nullptr with `error` set when its data
    // cannot be located or its method is not supported.
    std::unique_ptr<ZipEntryDevice> openEntry(const ZipEntry& entry, QString& error);

    // The whole expanded entry, at most `maxBytes`; false with `error` set otherwise.
    bool readEntry(const ZipEntry& entry, qint64 maxBytes, QByteArray& out, QString& error);

    const ZipLimits& limits() const { return limits_; }

private:
    friend class ZipEntryDevice;
    const QByteArray* bytes_ = nullptr;
    ZipLimits limits_;
    std::vector<ZipEntry> entries_;
    qint64 totalProduced_ = 0;
};

} // namespace automation
