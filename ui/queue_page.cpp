// The queue page: a table of the waiting rows refreshed from the running copy's listing, and
// four buttons that act through the same requests as the command line.
#include "ui/queue_page.h"

#include "station/queue_server.h"
#include "ui/msgbox.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QJsonArray>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// How often the page takes the running copy's last listing.
constexpr int kRefreshMs = 2000;

const QStringList kColumns = {QStringLiteral("Job"),
                              QStringLiteral("Ligne"),
                              QStringLiteral("Destinataires"),
                              QStringLiteral("État"),
                              QStringLiteral("Raison"),
                              QStringLiteral("Essais"),
                              QStringLiteral("Prochain essai"),
                              QStringLiteral("Destination")};

QString stateText(const QString& state) {
    if (state == QStringLiteral("held"))
        return QStringLiteral("retenue");
    if (state == QStringLiteral("in_flight"))
        return QStringLiteral("en cours d'envoi");
    return QStringLiteral("en attente");
}

// The text of column `column` of a row.
QString cellText(const station::QueueEntry& e, int column) {
    switch (column) {
    case 0:
        return e.job;
    case 1:
        return QString::number(e.row);
    case 2:
        return e.recipients;
    case 3:
        return stateText(e.state);
    case 4:
        return e.reason;
    case 5:
        return QString::number(e.attempts);
    case 6:
        return e.nextTry > 0 ? QDateTime::fromSecsSinceEpoch(e.nextTry).toString(
                                   QStringLiteral("dd/MM HH:mm:ss"))
                             : QStringLiteral("au prochain passage");
    case 7:
        return e.destination;
    default:
        return {};
    }
}

bool sameEntry(const station::QueueEntry& a, const station::QueueEntry& b) {
    return a.job == b.job && a.row == b.row && a.recipients == b.recipients && a.state == b.state &&
           a.reason == b.reason && a.attempts == b.attempts && a.nextTry == b.nextTry &&
           a.destination == b.destination;
}

QPushButton* pageButton(const char* name, const QString& caption, QWidget* parent) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    return b;
}

} // namespace

QueuePage::QueuePage(std::function<station::SendingSettings()> saved, QWidget* parent)
    : QWidget(parent), saved_(std::move(saved)) {
    setObjectName(QStringLiteral("PageFileAttente"));
    auto* layout = new QVBoxLayout(this);
    model_ = new QueueModel(this);
    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("TableFileAttente"));
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setTabKeyNavigation(false); // Tab leaves the table for the buttons
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(table_, 1);
    answer_ = new QLabel(this);
    answer_->setObjectName(QStringLiteral("LabelFileAttente"));
    answer_->setWordWrap(true);
    layout->addWidget(answer_);
    auto* row = new QHBoxLayout;
    retry_ = pageButton("CommandReessayer", QStringLiteral("&Réessayer maintenant"), this);
    hold_ = pageButton("CommandRetenir", QStringLiteral("R&etenir"), this);
    release_ = pageButton("CommandLiberer", QStringLiteral("&Libérer"), this);
    drop_ = pageButton("CommandRetirer", QStringLiteral("Re&tirer"), this);
    row->addStretch(1);
    for (QPushButton* b : {retry_, hold_, release_, drop_})
        row->addWidget(b);
    layout->addLayout(row);
    setTabOrder(table_, retry_);
    setTabOrder(retry_, hold_);
    setTabOrder(hold_, release_);
    setTabOrder(release_, drop_);

    connect(retry_, &QPushButton::clicked, this, &QueuePage::retryNow);
    connect(hold_, &QPushButton::clicked, this, &QueuePage::holdDestination);
    connect(release_, &QPushButton::clicked, this, &QueuePage::releaseDestination);
    connect(drop_, &QPushButton::clicked, this, &QueuePage::dropRow);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &QueuePage::updateButtons);
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this,
            [this] { setEntries(station::QueueControl::instance().published()); });
    timer->start(kRefreshMs);
    setEntries(station::QueueControl::instance().published());
}

void QueueModel::setEntries(const QList<station::QueueEntry>& entries) {
    if (entries.size() != entries_.size()) {
        beginResetModel();
        entries_ = entries;
        endResetModel();
        return;
    }
    // The same count: the rows that changed are told, the selection and the scroll stay.
    int first = -1;
    int last = -1;
    for (int i = 0; i < int(entries.size()); ++i) {
        if (sameEntry(entries[i], entries_[i]))
            continue;
        first = first < 0 ? i : first;
        last = i;
    }
    entries_ = entries;
    if (first >= 0)
        Q_EMIT dataChanged(index(first, 0), index(last, int(kColumns.size()) - 1));
}

int QueueModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(entries_.size());
}

int QueueModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(kColumns.size());
}

QVariant QueueModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= entries_.size() ||
        (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    return cellText(entries_[index.row()], index.column());
}

QVariant QueueModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= kColumns.size())
        return {};
    return kColumns[section];
}

void QueuePage::setEntries(const QList<station::QueueEntry>& entries) {
    const station::QueueEntry* before = selected();
    const QString keep =
        before ? before->job + u'\t' + QString::number(before->row) + u'\t' + before->recipients
               : QString();
    model_->setEntries(entries);
    int select = -1;
    for (int i = 0; select < 0 && !keep.isEmpty() && i < int(entries.size()); ++i)
        if (keep == entries[i].job + u'\t' + QString::number(entries[i].row) + u'\t' +
                        entries[i].recipients)
            select = i;
    if (select >= 0)
        table_->selectRow(select);
    else
        table_->clearSelection();
    updateButtons();
}

const station::QueueEntry* QueuePage::selected() const {
    const QModelIndexList rows =
        table_ ? table_->selectionModel()->selectedRows() : QModelIndexList();
    if (rows.isEmpty())
        return nullptr;
    const int row = rows.first().row();
    return row >= 0 && row < model_->entries().size() ? &model_->entries()[row] : nullptr;
}

void QueuePage::updateButtons() {
    const station::QueueEntry* e = selected();
    const bool held = e && station::QueueControl::instance().isHeld(e->destination);
    hold_->setEnabled(e && !held && !e->destination.isEmpty());
    release_->setEnabled(held);
    drop_->setEnabled(e != nullptr);
}

void QueuePage::ask(const QJsonObject& request) {
    const QJsonObject reply =
        station::AnswerQueueRequest(request, saved_ ? saved_() : station::SendingSettings());
    answer_->setText(reply.value(QStringLiteral("text")).toString());
    refresh();
}

void QueuePage::refresh() {
    const station::SendingSettings saved = saved_ ? saved_() : station::SendingSettings();
    const QJsonObject listing =
        station::AnswerQueueRequest({{QStringLiteral("command"), QStringLiteral("queue")}}, saved);
    const QList<station::QueueEntry> entries =
        station::QueueFromJson(listing.value(QStringLiteral("entries")).toArray());
    station::QueueControl::instance().publish(entries);
    setEntries(entries);
}

void QueuePage::retryNow() {
    // The selected row's job, or every row when none is selected.
    const station::QueueEntry* e = selected();
    ask({{QStringLiteral("command"), QStringLiteral("retry")},
         {QStringLiteral("target"), e ? e->job : QString()}});
}

void QueuePage::holdDestination() {
    if (const station::QueueEntry* e = selected())
        ask({{QStringLiteral("command"), QStringLiteral("hold")},
             {QStringLiteral("target"), e->destination}});
}

void QueuePage::releaseDestination() {
    if (const station::QueueEntry* e = selected())
        ask({{QStringLiteral("command"), QStringLiteral("release")},
             {QStringLiteral("target"), e->destination}});
}

void QueuePage::dropRow() {
    const station::QueueEntry* e = selected();
    if (!e)
        return;
    const QString job = e->job;
    const int row = e->row;
    if (MsgBox::Show(QStringLiteral("Retirer la ligne %1 de %2 de la file d'attente ? Elle ne "
                                    "partira pas et sera notée dans « Mails non envoyés ».")
                         .arg(row)
                         .arg(job),
                     MsgBox::Icon::Question, MsgBox::Buttons::YesNo) != MsgBox::Answer::Yes)
        return;
    ask({{QStringLiteral("command"), QStringLiteral("drop")},
         {QStringLiteral("target"), job + u':' + QString::number(row)}});
}
