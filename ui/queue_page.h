// The main window's page "File d'attente": the rows that wait, kept up to date, and the
// operator's handles on them (try now, hold or release a destination, remove a row).
#pragma once

#include "station/operator_queue.h"
#include "station/sending_settings.h"

#include <QJsonObject>
#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class QTableWidget;

class QueuePage : public QWidget {
public:
    // `saved` gives the settings the background sending runs with.
    explicit QueuePage(std::function<station::SendingSettings()> saved, QWidget* parent = nullptr);

    // Shows `entries` (the selection follows its row when it is still there).
    void setEntries(const QList<station::QueueEntry>& entries);

    QTableWidget* table() const { return table_; }
    QPushButton* retryButton() const { return retry_; }
    QPushButton* holdButton() const { return hold_; }
    QPushButton* releaseButton() const { return release_; }
    QPushButton* dropButton() const { return drop_; }
    QLabel* answerLine() const { return answer_; }

    // The button actions (also reached from the keyboard through their mnemonics).
    void retryNow();
    void holdDestination();
    void releaseDestination();
    void dropRow();

private:
    const station::QueueEntry* selected() const;
    void ask(const QJsonObject& request);
    void refresh();
    void updateButtons();

    std::function<station::SendingSettings()> saved_;
    QList<station::QueueEntry> entries_;
    QTableWidget* table_ = nullptr;
    QPushButton* retry_ = nullptr;
    QPushButton* hold_ = nullptr;
    QPushButton* release_ = nullptr;
    QPushButton* drop_ = nullptr;
    QLabel* answer_ = nullptr;
};
