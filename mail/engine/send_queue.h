// The sending worker of a job: a few long-lived sessions that carry out detached mails one
// after the other and hand each outcome back to the thread that owns the queue.
#pragma once

#include "mail/engine/mail_component.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace mail {

// Mails of one job, sent by `sessions` worker threads that live as long as the queue; each
// thread takes the next mail as soon as it is free, so with several sessions the mails of a
// job may arrive out of order. SMTP sessions come from the transport's pool: each worker
// keeps one connection (and one TLS handshake) for the whole job. Once AbortRequested() is
// true no further mail is started: each gets Error::Aborted. A mail that fails holds the
// queue: no further mail is started until the owner, having seen the outcome, calls resume()
// or dropQueued(), so that nothing queued behind a refused mail goes out before the owner
// decides whether the job goes on.
class SendQueue : public QObject {
    Q_OBJECT
public:
    // `sessions` is clamped to 1..8. The queue must be created and destroyed on a thread that
    // runs an event loop: outcomes are delivered there.
    explicit SendQueue(int sessions, QObject* parent = nullptr);
    // Drops the mails not started and waits for those in flight (bounded by their time
    // limits, or cut short by the transport's abort). No outcome is delivered afterwards.
    ~SendQueue() override;
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    // Queues `plan` (MailMessage::detach) under `ticket`; its outcome comes with sent().
    void submit(quint64 ticket, std::shared_ptr<const SendPlan> plan);
    // Mails submitted whose outcome has not been delivered yet.
    int pending() const { return pending_; }
    // Forgets the mails not started yet (their outcome is never delivered) and lifts a hold.
    // Returns how many were forgotten.
    int dropQueued();
    // Lifts the hold a failed mail put on the queue: the queued mails go on.
    void resume();
    int sessions() const { return static_cast<int>(workers_.size()); }

Q_SIGNALS:
    // The outcome of the mail queued under `ticket` (code 0: sent, perhaps without some
    // refused recipients). Delivered on the queue's thread, one at a time.
    void sent(quint64 ticket, const mail::SendOutcome& outcome);

private:
    struct Item {
        quint64 ticket = 0;
        std::shared_ptr<const SendPlan> plan;
    };
    struct Ready {
        quint64 ticket = 0;
        SendOutcome outcome;
    };
    void work();
    void deliver(quint64 ticket, const SendOutcome& outcome);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    std::vector<Ready> ready_; // outcomes on their way to the owner's thread
    // A session starts its next mail only once the owner took its last outcome (and recorded
    // it): a crash then finds at most one mail per session sent but not recorded.
    std::condition_variable taken_;
    quint64 handedOver_ = 0; // outcomes handed to the owner's thread so far
    quint64 takenOver_ = 0;  // outcomes the owner took so far
    bool stopping_ = false;
    bool held_ = false; // a mail failed: nothing more starts until resume() or dropQueued()
    int pending_ = 0;   // owner's thread only
    std::vector<std::thread> workers_;
};

} // namespace mail
