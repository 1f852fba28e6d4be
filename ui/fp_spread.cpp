// Sheet control of the last job: a table view over a read-only model of the job's cells.
#include "ui/fp_spread.h"

#include <QFile>
#include <QFileInfo>
#include <QHeaderView>

namespace automation {

JobSheetModel::JobSheetModel(QObject* parent) : QAbstractTableModel(parent) {}

void JobSheetModel::setSheet(std::shared_ptr<const JobSheet> sheet) {
    beginResetModel();
    sheet_ = std::move(sheet);
    endResetModel();
}

int JobSheetModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || !sheet_ ? 0 : sheet_->rowCount();
}

int JobSheetModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return std::max(MinColumns, sheet_ ? sheet_->columnCount() : 0);
}

QVariant JobSheetModel::data(const QModelIndex& index, int role) const {
    if (!sheet_ || !index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    QString text = sheet_->cell(index.row() + 1, index.column() + 1);
    if (text.size() > MaxShownChars) {
        text.truncate(MaxShownChars);
        text += QChar(0x2026);
    }
    if (role == Qt::DisplayRole) // one line per cell in the grid
        text.replace(u'\n', u' ').replace(u'\r', u' ');
    return text;
}

QVariant JobSheetModel::headerData(int section, Qt::Orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    return section + 1;
}

} // namespace automation

FpSpread::FpSpread(QWidget* parent)
    : QTableView(parent), model_(new automation::JobSheetModel(this)) {
    setModel(model_);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setWordWrap(false);
    // Fixed section sizes keep a job of many thousand rows cheap to show.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setDefaultSectionSize(120);
}

void FpSpread::setSheet(std::shared_ptr<const automation::JobSheet> sheet) {
    model_->setSheet(std::move(sheet));
    Row = 1;
    Col = 1;
}

bool FpSpread::LoadFromFile(const QString& nativePath) {
    QFile file(nativePath);
    // Only a plain file: opening a FIFO would block.
    if (!QFileInfo(nativePath).isFile() || !file.open(QIODevice::ReadOnly) ||
        file.size() > automation::MaxJobBytes)
        return false;
    auto result = automation::readJobBytes(file.readAll());
    if (!result.ok)
        return false;
    setSheet(std::move(result.sheet));
    return true;
}

int FpSpread::MaxRows() const {
    const auto& s = model_->sheet();
    return s ? s->rowCount() : 0;
}

QString FpSpread::Text() const {
    return cellText(Row, Col);
}

QString FpSpread::cellText(int row, int column) const {
    const auto& s = model_->sheet();
    return s ? s->cell(row, column) : QString();
}

void FpSpread::showRow(int row) {
    const QModelIndex index = model_->index(row - 1, 0);
    if (!index.isValid())
        return;
    setCurrentIndex(index);
    scrollTo(index);
}
