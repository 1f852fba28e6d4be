// Long-lived sending sessions of a job.
#include "mail/engine/send_queue.h"

#include "system/supervision.h"

#include <QMetaObject>

#include <algorithm>

namespace mail {

SendQueue::SendQueue(int sessions, QObject* parent) : QObject(parent) {
    const int count = std::clamp(sessions, 1, 8);
    workers_.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        workers_.emplace_back([this] { work(); });
    Supervision::AddSessions(count);
}

SendQueue::~SendQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    taken_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
    Supervision::AddSessions(-static_cast<int>(workers_.size()));
}

void SendQueue::submit(quint64 ticket, std::shared_ptr<const SendPlan> plan) {
    ++pending_;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({ticket, std::move(plan)});
    }
    wake_.notify_one();
}

int SendQueue::dropQueued() {
    std::lock_guard lock(mutex_);
    const int dropped = static_cast<int>(queue_.size());
    queue_.clear();
    pending_ -= dropped;
    held_ = false;
    return dropped;
}

void SendQueue::resume() {
    {
        std::lock_guard lock(mutex_);
        held_ = false;
    }
    wake_.notify_all();
}

void SendQueue::work() {
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || (!held_ && !queue_.empty()); });
            if (stopping_)
                return;
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        // Once the program is asked to stop, no mail is started any more.
        SendOutcome outcome;
        if (AbortRequested())
            outcome = {Error::Aborted, QStringLiteral("Envoi interrompu : le programme s'arrête.")};
        else if (item.plan)
            outcome = SendDetached(*item.plan);
        else
            outcome = {Error::Internal, QStringLiteral("Mail vide.")};
        item.plan.reset(); // the attachments' bytes go now, not with the next mail
        if (outcome.code != Error::None) {
            std::lock_guard lock(mutex_);
            held_ = true;
        }
        deliver(item.ticket, outcome);
    }
}

void SendQueue::deliver(quint64 ticket, const SendOutcome& outcome) {
    // Outcomes that finish close together travel in one call to the owner's thread, which
    // then wakes once for them all; dropped by Qt if the queue is gone meanwhile.
    quint64 mine = 0;
    bool callOnItsWay = false;
    {
        std::lock_guard lock(mutex_);
        ready_.push_back({ticket, outcome});
        mine = ++handedOver_;
        callOnItsWay = ready_.size() > 1; // it takes this one too
    }
    if (!callOnItsWay)
        QMetaObject::invokeMethod(
            this,
            [this] {
                std::vector<Ready> batch;
                {
                    std::lock_guard lock(mutex_);
                    batch.swap(ready_);
                }
                for (const Ready& r : batch) {
                    --pending_;
                    Q_EMIT sent(r.ticket, r.outcome);
                    {
                        std::lock_guard lock(mutex_);
                        ++takenOver_;
                    }
                    taken_.notify_all();
                }
            },
            Qt::QueuedConnection);
    std::unique_lock lock(mutex_);
    taken_.wait(lock, [&] { return stopping_ || takenOver_ >= mine; });
}

} // namespace mail
