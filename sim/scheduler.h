// Virtual time for the simulated world: a clock in microseconds and a queue of
// device-side events (a command finishing, a frame arriving). Nothing here
// sleeps; time moves only when someone advances it. One scheduler may be
// shared by several hosts, controllers and a radio medium so that they all
// live on the same clock.
#ifndef MIREL_SIM_SCHEDULER_H
#define MIREL_SIM_SCHEDULER_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>

namespace sim {

using Micros = std::uint64_t;

class Scheduler {
  public:
    using EventId = std::uint64_t;

    Micros Now() const { return now_; }

    // Runs `fn` when the clock reaches `when` (at once on the next advance if
    // `when` already passed). Events at the same time run in the order they
    // were scheduled.
    EventId At(Micros when, std::function<void()> fn);
    EventId After(Micros delay, std::function<void()> fn) { return At(now_ + delay, std::move(fn)); }
    // Returns true when the event was still pending.
    bool Cancel(EventId id);

    std::optional<Micros> NextTime() const;
    // Runs every event due at or before `when`, in time order, and leaves the
    // clock at `when` (never moves it backwards).
    void AdvanceTo(Micros when);
    // Runs the earliest pending event if it is due at or before `limit`;
    // the clock moves to that event's time. Returns false when none was due.
    bool RunNextUntil(Micros limit);

    std::size_t Pending() const { return queue_.size(); }

  private:
    Micros now_ = 0;
    EventId next_id_ = 1;
    // (time, id) orders by time, then by scheduling order.
    std::map<std::pair<Micros, EventId>, std::function<void()>> queue_;
    std::map<EventId, Micros> when_;
};

}  // namespace sim

#endif  // MIREL_SIM_SCHEDULER_H
