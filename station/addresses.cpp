// Address list routines. Positions are QString indices and sizes are qsizetype, so texts of
// any length (a job naming thousands of recipients) are handled whole, without the
// 16-bit position limit older callers were written against.
#include "station/addresses.h"

#include "system/error_reporting.h"

namespace Addresses {

void FnTrim(QString& text, const QString& set) {
    Lib_Public::Trap(QStringLiteral("Frm_Main:FnTrim"), [&] {
        qsizetype first = 0;
        const qsizetype size = text.size();
        while (first < size && set.contains(text.at(first)))
            ++first;
        if (first == size) {
            text.clear();
            return;
        }
        qsizetype last = size - 1;
        while (last > first && set.contains(text.at(last)))
            --last;
        if (first > 0 || last < size - 1)
            text = text.mid(first, last - first + 1);
    });
}

qsizetype Strpbrk(const QString& text, qsizetype start, const QString& set) {
    qsizetype found = -1;
    Lib_Public::Trap(QStringLiteral("Frm_Main:Strpbrk"), [&] {
        for (qsizetype i = qMax<qsizetype>(start, 0); i < text.size(); ++i) {
            if (set.contains(text.at(i))) {
                found = i;
                return;
            }
        }
    });
    return found;
}

void FnParseAddr(const QString& source, QString& name, QString& address) {
    Lib_Public::Trap(QStringLiteral("Frm_Main:FnParseAddr"), [&] {
        const qsizetype bracket = source.indexOf(QLatin1Char('<'));
        if (bracket < 0) {
            name.clear();
            address = source;
        } else {
            name = source.left(bracket);
            address = source.mid(bracket);
        }
        FnTrim(name, kAddressPartSet);
        FnTrim(address, kAddressPartSet);
    });
}

QStringList SplitEx(const QString& source, QChar delimiter) {
    QStringList tokens;
    Lib_Public::Trap(QStringLiteral("Frm_Main:SplitEx"), [&] {
        const QString delimiterSet(delimiter);
        const QString scanSet = QStringLiteral("\"") + delimiter;
        qsizetype start = 0;
        qsizetype scan = 0;
        bool inQuotes = false;
        auto takeToken = [&](QString token) {
            FnTrim(token, delimiterSet);
            if (!token.isEmpty())
                tokens.append(token);
        };
        for (;;) {
            const qsizetype hit = Strpbrk(source, scan, scanSet);
            if (hit < 0) {
                takeToken(source.mid(start));
                return;
            }
            if (source.at(hit) == QLatin1Char('"')) {
                inQuotes = !inQuotes;
                scan = hit + 1;
            } else if (inQuotes) {
                scan = hit + 1;
            } else {
                takeToken(source.mid(start, hit - start));
                scan = hit + 1;
                start = scan;
            }
        }
    });
    return tokens;
}

} // namespace Addresses
