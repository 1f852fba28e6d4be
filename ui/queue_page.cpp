// The queue page: a table of the waiting rows refreshed from the running copy's listing, and
// four buttons that act through the same requests as the command line.
#include "ui/queue_page.h"

#include "station/queue_server.h"
#include "ui/msgbox.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
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
    table_ = new QTableWidget(0, int(kColumns.size()), this);
    table_->setObjectName(QStringLiteral("TableFileAttente"));
    table_->setHorizontalHeaderLabels(kColumns);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setTabKeyNavigation(false); // Tab leaves the table for the buttons
    table_->verticalHeader()->hide();
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
    connect(table_, &QTableWidget::itemSelectionChanged, this, &QueuePage::updateButtons);
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this,
            [this] { setEntries(station::QueueControl::instance().published()); });
    timer->start(kRefreshMs);
    setEntries(station::QueueControl::instance().published());
}

void QueuePage::setEntries(const QList<station::QueueEntry>& entries) {
    const station::QueueEntry* before = selected();
    const QString keep =
        before ? before->job + u'\t' + QString::number(before->row) + u'\t' + before->recipients
               : QString();
    entries_ = entries;
    table_->setRowCount(int(entries_.size()));
    int select = -1;
    for (int i = 0; i < int(entries_.size()); ++i) {
        const station::QueueEntry& e = entries_[i];
        const QStringList cells = {e.job,
                                   QString::number(e.row),
                                   e.recipients,
                                   stateText(e.state),
                                   e.reason,
                                   QString::number(e.attempts),
                                   e.nextTry > 0
                                       ? QDateTime::fromSecsSinceEpoch(e.nextTry).toString(
                                             QStringLiteral("dd/MM HH:mm:ss"))
                                       : QStringLiteral("au prochain passage"),
                                   e.destination};
        for (int c = 0; c < int(cells.size()); ++c) {
            QTableWidgetItem* item = table_->item(i, c);
            if (!item)
                table_->setItem(i, c, item = new QTableWidgetItem);
            if (item->text() != cells[c])
                item->setText(cells[c]);
        }
        if (!keep.isEmpty() &&
            keep == e.job + u'\t' + QString::number(e.row) + u'\t' + e.recipients)
            select = i;
    }
    if (select >= 0)
        table_->selectRow(select);
    else
        table_->clearSelection();
    updateButtons();
}

const station::QueueEntry* QueuePage::selected() const {
    const QList<QTableWidgetItem*> items =
        table_ ? table_->selectedItems() : QList<QTableWidgetItem*>();
    if (items.isEmpty())
        return nullptr;
    const int row = items.first()->row();
    return row >= 0 && row < entries_.size() ? &entries_[row] : nullptr;
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
