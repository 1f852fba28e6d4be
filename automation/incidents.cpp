// Incident lines: time stamp, cleaning of untrusted text, insertion into the list.
#include "automation/incidents.h"

#include <QListWidget>

namespace automation {

namespace {

IncidentClock incidentClock;
IncidentEcho incidentEcho;

bool isControl(QChar c) {
    const char16_t u = c.unicode();
    return c.category() == QChar::Other_Control || u == 0x2028 || u == 0x2029 ||
           (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

void echo(const QString& line) {
    if (incidentEcho)
        incidentEcho(line);
}

} // namespace

void setIncidentClock(IncidentClock clock) { incidentClock = std::move(clock); }

void setIncidentEcho(IncidentEcho e) { incidentEcho = std::move(e); }

QString cleanIncidentText(const QString& text) {
    QString out;
    out.reserve(text.size());
    bool inRun = false;
    for (const QChar c : text) {
        if (isControl(c)) {
            if (!inRun)
                out += u' ';
            inRun = true;
        } else {
            out += c;
            inRun = false;
        }
    }
    return out;
}

QString incidentLine(const QString& text) {
    const QDateTime now = incidentClock ? incidentClock() : QDateTime::currentDateTime();
    return now.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) + QStringLiteral(": ") + cleanIncidentText(text);
}

void insertIncident(QListWidget& list, const QString& text, const std::function<void()>& alertOn) {
    const QString line = incidentLine(text);
    list.insertItem(0, line);
    if (alertOn)
        alertOn();
    echo(line);
}

void appendIncident(QListWidget& list, const QString& text) {
    const QString line = incidentLine(text);
    list.addItem(line);
    echo(line);
}

} // namespace automation
