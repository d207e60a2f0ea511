// The open connections' deadlines, kept in order without sorting. Every bound counts from an
// event of its phase (the accept, the first bytes, the last progress, the start of the drain),
// and events come in time order, so the connections of one bound, kept in the order of their
// event, are already in deadline order: the loop looks only at the heads that are due.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "server/connection.h"

namespace dirhttp {

/// Slots (small numbers that name connections) in the order of a time each carries: taking the
/// first, adding one at or after the latest and removing any cost the same whatever the count.
class TimeOrder {
 public:
  /// Adds `slot` (not yet in the order) at `time`. Placed after every slot with that time or an
  /// earlier one: at once when `time` is the latest, one step per later slot otherwise.
  void insert(std::size_t slot, Clock::time_point time);
  /// Takes `slot` out; nothing happens when it is not in the order.
  void remove(std::size_t slot);
  /// Whether `slot` is in the order.
  bool contains(std::size_t slot) const;
  bool empty() const { return first_ == kNone; }
  /// The slot with the earliest time (the first of those that have it); only when not empty.
  std::size_t first() const { return first_; }
  /// The slot after `slot`, or kNone.
  std::size_t next(std::size_t slot) const { return links_[slot].next; }
  /// The time `slot` was inserted with.
  Clock::time_point time(std::size_t slot) const { return links_[slot].time; }

  static constexpr std::size_t kNone = ~std::size_t{0};

 private:
  struct Link {
    std::size_t previous = kNone;
    std::size_t next = kNone;
    bool member = false;
    Clock::time_point time;
  };
  std::vector<Link> links_;
  std::size_t first_ = kNone;
  std::size_t last_ = kNone;
};

/// Which bound a connection is under, and from when it counts.
struct Timing {
  enum Bound { kIdle, kRequestLine, kSendStall, kDrain, kNone };
  Bound bound;
  Clock::time_point since;
};

/// The bound `connection` is under now (kIdle from its accept while nothing arrived, kRequestLine
/// from its first bytes, kSendStall from its last progress, kDrain from the drain's start), or
/// kNone once it is closed.
Timing timing_of(const Connection& connection);

/// How long each bound lasts: the documented bounds of connection.h.
Clock::duration bound_length(Timing::Bound bound);

/// Every open connection's deadline, one time order per bound.
class DeadlineOrder {
 public:
  /// Puts `slot` under `timing` (kNone: under no bound). Costs nothing when that is where it is.
  void set(std::size_t slot, Timing timing);
  /// Appends to `due` every slot whose deadline is at or before `now`.
  void collect_due(Clock::time_point now, std::vector<std::size_t>& due) const;
  /// The earliest deadline of all, or Clock::time_point::max() when no slot is under a bound.
  Clock::time_point earliest() const;

 private:
  std::array<TimeOrder, Timing::kNone> orders_;
  std::vector<Timing::Bound> bounds_;
};

}  // namespace dirhttp
