#include "ui/posted_view.h"

#include <QMetaObject>
#include <QTimer>

PostedView::PostedView(ScanView& target, QObject& context) : target_(&target), context_(&context) {}

void PostedView::Post(Event event) {
    std::lock_guard lock(mutex_);
    if (target_ == nullptr) {
        return;
    }
    // Progress replaces the account's progress noted last, unless more came since.
    if (event.kind == EventKind::kProgress) {
        for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
            if (it->id == event.id) {
                if (it->kind == EventKind::kProgress) {
                    *it = std::move(event);
                    return;
                }
                break;
            }
        }
    }
    pending_.push_back(std::move(event));
    if (armed_) {
        return;
    }
    armed_ = true;
    // Posted under the lock: Detach() takes it too, so the context is still there. A
    // context destroyed later drops the posted call and its timer with it.
    QMetaObject::invokeMethod(
        context_,
        [self = shared_from_this()] {
            QTimer::singleShot(kDelayMs, self->context_, [self] { self->Flush(); });
        },
        Qt::QueuedConnection);
}

void PostedView::CheckStarted(AccountId id) {
    Post(Event{EventKind::kStarted, id, 0, 0, {}, {}});
}

void PostedView::CheckProgress(AccountId id, int done, int total) {
    Post(Event{EventKind::kProgress, id, done, total, {}, {}});
}

void PostedView::CheckEnded(AccountId id, const CheckReport& report) {
    Post(Event{EventKind::kEnded, id, 0, 0, report, {}});
}

void PostedView::DeletionEnded(AccountId id, const DeletionReport& report) {
    Post(Event{EventKind::kDeletion, id, 0, 0, {}, report});
}

void PostedView::Detach() {
    std::lock_guard lock(mutex_);
    target_ = nullptr;
    pending_.clear();
}

void PostedView::Flush() {
    std::vector<Event> events;
    {
        std::lock_guard lock(mutex_);
        armed_ = false;
        if (target_ == nullptr) {
            return;
        }
        events.swap(pending_);
    }
    // The target is only detached on this thread, so it stays while this draws.
    Draw(events);
}

void PostedView::Draw(std::vector<Event>& events) {
    ScanView& target = *target_;
    for (Event& event : events) {
        switch (event.kind) {
            case EventKind::kStarted:
                target.CheckStarted(event.id);
                break;
            case EventKind::kProgress:
                target.CheckProgress(event.id, event.done, event.total);
                break;
            case EventKind::kEnded:
                target.CheckEnded(event.id, *event.report);
                break;
            case EventKind::kDeletion:
                target.DeletionEnded(event.id, *event.deletion);
                break;
        }
    }
}
