// Readable GoogleTest failure messages for Qt value types (text instead of raw bytes).
#pragma once

#include <QString>

#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

#include <QByteArray>

inline void PrintTo(const QByteArray& bytes, std::ostream* os) {
    *os << '"' << bytes.toStdString() << '"';
}

#include <QDateTime>

inline void PrintTo(const QDateTime& moment, std::ostream* os) {
    *os << moment.toString(Qt::ISODate).toStdString();
}
