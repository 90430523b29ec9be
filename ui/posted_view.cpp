#include "ui/posted_view.h"

#include <QMetaObject>
#include <QTimer>

PostedView::PostedView(ScanView& target, QObject& context, const AppState& state)
    : state_(state), target_(&target), context_(&context) {}

template <class Note>
void PostedView::Post(Note note) {
    const std::uint32_t removals = state_.Removals();
    std::lock_guard lock(mutex_);
    if (target_ == nullptr) {
        return;
    }
    note(pending_, removals);
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

void PostedView::SetProgressRange(int low, int high) {
    Post([=](Pending& p, std::uint32_t) { p.range = {low, high}; });
}

void PostedView::SetProgressPosition(int position) {
    Post([=](Pending& p, std::uint32_t) { p.position = position; });
}

void PostedView::ShowProgress(bool visible) {
    Post([=](Pending& p, std::uint32_t) { p.visible = visible; });
}

void PostedView::SetInboxCell(int row, int column, const std::string& text) {
    Post([&](Pending& p, std::uint32_t removals) {
        // A cell after a report belongs to the next check.
        if (p.steps.empty() || p.steps.back().report) {
            p.steps.emplace_back();
        }
        p.steps.back().cells[{row, column}] = {text, removals};
    });
}

void PostedView::ReportCheck(int row, const CheckReport& report) {
    Post([&](Pending& p, std::uint32_t removals) {
        if (p.steps.empty() || p.steps.back().report) {
            p.steps.emplace_back();
        }
        p.steps.back().report = {{row, report}, removals};
    });
}

void PostedView::Detach() {
    std::lock_guard lock(mutex_);
    target_ = nullptr;
    pending_ = {};
}

void PostedView::Flush() {
    Pending pending;
    {
        std::lock_guard lock(mutex_);
        armed_ = false;
        if (target_ == nullptr) {
            return;
        }
        pending = std::move(pending_);
        pending_ = {};
    }
    // The target is only detached on this thread, so it stays while this draws.
    Draw(pending);
}

void PostedView::Draw(Pending& pending) {
    ScanView& target = *target_;
    // The range first: a new range may reset the position.
    if (pending.range) {
        target.SetProgressRange(pending.range->first, pending.range->second);
    }
    if (pending.position) {
        target.SetProgressPosition(*pending.position);
    }
    if (pending.visible) {
        target.ShowProgress(*pending.visible);
    }
    const std::uint32_t removals = state_.Removals();
    for (Step& step : pending.steps) {
        for (const auto& [place, cell] : step.cells) {
            if (cell.removals == removals) {
                target.SetInboxCell(place.first, place.second, cell.value);
            }
        }
        if (step.report && step.report->removals == removals) {
            target.ReportCheck(step.report->value.first, step.report->value.second);
        }
    }
}
