// The main window's page "File d'attente": the rows that wait, kept up to date, and the
// operator's handles on them (try now, hold or release a destination, remove a row).
#pragma once

#include "station/operator_queue.h"
#include "station/sending_settings.h"

#include <QJsonObject>
#include <QWidget>

#include <functional>

#include <QAbstractTableModel>

class QLabel;
class QPushButton;
class QTableView;

// The waiting rows as a table model: a long queue costs the window only the rows it shows.
class QueueModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;
    // Shows `entries`: the same rows in place, another count anew.
    void setEntries(const QList<station::QueueEntry>& entries);
    const QList<station::QueueEntry>& entries() const { return entries_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QList<station::QueueEntry> entries_;
};

class QueuePage : public QWidget {
public:
    // `saved` gives the settings the background sending runs with.
    explicit QueuePage(std::function<station::SendingSettings()> saved, QWidget* parent = nullptr);

    // Shows `entries` (the selection follows its row when it is still there).
    void setEntries(const QList<station::QueueEntry>& entries);

    QTableView* table() const { return table_; }
    const QueueModel& model() const { return *model_; }
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
    QueueModel* model_ = nullptr;
    QTableView* table_ = nullptr;
    QPushButton* retry_ = nullptr;
    QPushButton* hold_ = nullptr;
    QPushButton* release_ = nullptr;
    QPushButton* drop_ = nullptr;
    QLabel* answer_ = nullptr;
};
