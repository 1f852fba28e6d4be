// The sheet control of the "Données reçues" page: shows the last job loaded as a grid and
// gives its cell texts by row and column, the way the job dispatch reads a job.
#pragma once

#include "automation/jobs/job_file.h"

#include <QAbstractTableModel>
#include <QTableView>

#include <memory>

namespace automation {

// Read-only table model over one job sheet. Shows at least the twelve columns of a job.
class JobSheetModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // Longest text shown in one cell of the grid (the cell itself keeps its whole text).
    static constexpr int MaxShownChars = 500;
    static constexpr int MinColumns = 12;

    explicit JobSheetModel(QObject* parent = nullptr);
    void setSheet(std::shared_ptr<const JobSheet> sheet);
    const std::shared_ptr<const JobSheet>& sheet() const { return sheet_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::shared_ptr<const JobSheet> sheet_;
};

} // namespace automation

// The spreadsheet control `fpSpreadData`: a grid of the loaded job plus the calls the job
// dispatch makes on it (row count, current row and column, current cell's text).
class FpSpread : public QTableView {
    Q_OBJECT
public:
    explicit FpSpread(QWidget* parent = nullptr);

    // Loads a job already read (the poller reads it under its lock); the grid shows it.
    // A null sheet empties the control.
    void setSheet(std::shared_ptr<const automation::JobSheet> sheet);
    std::shared_ptr<const automation::JobSheet> sheet() const { return model_->sheet(); }

    // Reads and loads a job file (native path). True when the file was read as a table;
    // the control keeps its previous sheet otherwise.
    bool LoadFromFile(const QString& nativePath);

    // Number of rows of the loaded sheet (0 when none).
    int MaxRows() const;
    // Current cell, rows and columns from 1 (set by the caller before reading Text()).
    int Row = 1;
    int Col = 1;
    // Text of the current cell; empty outside the sheet.
    QString Text() const;
    // Text of any cell (rows and columns from 1).
    QString cellText(int row, int column) const;

    // Brings row `row` (from 1) into view and highlights it (progress of a job being sent).
    void showRow(int row);

private:
    automation::JobSheetModel* model_;
};
