#include "sim/scheduler.h"

namespace sim {

Scheduler::EventId Scheduler::At(Micros when, std::function<void()> fn) {
    EventId id = next_id_++;
    queue_.emplace(std::make_pair(when, id), std::move(fn));
    when_.emplace(id, when);
    return id;
}

bool Scheduler::Cancel(EventId id) {
    auto it = when_.find(id);
    if (it == when_.end()) return false;
    queue_.erase(std::make_pair(it->second, id));
    when_.erase(it);
    return true;
}

std::optional<Micros> Scheduler::NextTime() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.begin()->first.first;
}

bool Scheduler::RunNextUntil(Micros limit) {
    if (queue_.empty()) return false;
    auto it = queue_.begin();
    if (it->first.first > limit) return false;
    Micros when = it->first.first;
    EventId id = it->first.second;
    std::function<void()> fn = std::move(it->second);
    queue_.erase(it);
    when_.erase(id);
    if (when > now_) now_ = when;
    fn();
    return true;
}

void Scheduler::AdvanceTo(Micros when) {
    while (RunNextUntil(when)) {
    }
    if (when > now_) now_ = when;
}

}  // namespace sim
