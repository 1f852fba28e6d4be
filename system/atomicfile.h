// Safe replacement of whole files: a temporary file beside the target, flushed, then renamed
// over it, and read-modify-write under an advisory lock for files shared between processes.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace AtomicFile {

// Writes the new content of `native` into a temporary file in the same folder, flushes it to
// disk and renames it over the target, so a reader sees the old or the new file, never part
// of one. The target's permissions, owner (when allowed) and user.DOSATTRIB are kept; a new
// file gets 0666 less the umask, or `modeForNew` when given. A symbolic link is followed and
// stays a link. `writer` receives the open file
// descriptor and returns false (with a text in `error`) when it could not write.
// Returns false with a text in `error` on any failure; the target is then unchanged.
bool replaceWith(const QString& native, const std::function<bool(int fd, QString& error)>& writer,
                 QString* error = nullptr, std::optional<unsigned> modeForNew = std::nullopt);

// replaceWith for content held in memory.
bool replace(const QString& native, const QByteArray& data, QString* error = nullptr,
             std::optional<unsigned> modeForNew = std::nullopt);

// Largest file read by readAll and update: settings files and hives are small.
inline constexpr long long MaxReadBytes = 64LL * 1024 * 1024;

// Reads the whole file. Empty when it cannot be read (missing, a folder, no permission) or
// is not a plain file of at most MaxReadBytes; never blocks on a FIFO or a device.
std::optional<QByteArray> readAll(const QString& native);

// Decides the new content from the current one (empty optional: the file did not exist);
// returning an empty optional writes nothing.
using Transform =
    std::function<std::optional<QByteArray>(const std::optional<QByteArray>& current)>;

// Read-modify-write of a file shared with other processes: takes an exclusive advisory lock
// on the file (creating it when missing; the folder must exist), reads it, applies
// `transform` and replaces the file atomically while still holding the lock. Concurrent
// updates by other processes through this routine are serialised, so none is lost.
// A file created only for the lock is removed again when the transform writes nothing.
// Returns false with a text in `error` when the file cannot be locked or written.
bool update(const QString& native, const Transform& transform, QString* error = nullptr);

// Points at which tests may stop a replacement (to play a crash).
enum class Stage { HalfWritten, BeforeRename };
void setStageHookForTesting(std::function<void(Stage)> hook);

} // namespace AtomicFile
