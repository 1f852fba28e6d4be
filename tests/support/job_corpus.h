// Job files made to break the job reader and the dispatch: each with the outcome the program
// must reach (loaded with so many rows, or kept as "could not be loaded").
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace testsupport {

struct BadJob {
    QString name;       // what the file tries
    QByteArray bytes;   // its content
    bool loads = false; // the reader accepts it as a table
    int rows = 0;       // its row count when it loads
};

// The corpus, built in memory (the large members are generated, not stored).
// Writes `bytes` to `path`, replacing what was there; false when it could not.
bool writeFile(const QString& path, const QByteArray& bytes);

std::vector<BadJob> badJobCorpus();

// One job row as a delimited line: the mark of column 1, then columns 5 to 11 (columns 2 to
// 4 empty), each quoted, ";"-separated, ended by CR LF.
QByteArray jobRow(const QString& mark, const QString& to, const QString& cc, const QString& cci,
                  const QString& subject, const QString& body, const QString& attachment = {},
                  const QString& partner = {});

} // namespace testsupport
