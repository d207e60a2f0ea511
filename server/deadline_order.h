// The open connections' deadlines, kept in order without sorting. Every bound counts from an
// event of its phase (the accept, the first bytes, the last progress, the start of the drain),
// and events come in time order, so the connections of one bound, kept in the order of their
// event, are already in deadline order: the loop looks only at the heads that are due.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "server/connection.h"

namespace dirhttp {

/// Slots (small numbers that name connections) in one or more lists, each in the order of a time
/// every slot carries; a slot is in at most one list. Taking a list's first, adding one at or
/// after its latest and removing any cost the same whatever the count.
class TimeOrder {
 public:
  explicit TimeOrder(std::size_t lists = 1);
  /// Adds `slot` (in no list yet) to `list` at `time`. Placed after every slot of the list with
  /// that time or an earlier one: at once when `time` is the latest, one step per later slot
  /// otherwise.
  void insert(std::size_t slot, Clock::time_point time, std::size_t list = 0);
  /// Takes `slot` out of its list; nothing happens when it is in none.
  void remove(std::size_t slot);
  /// Whether `slot` is in a list.
  bool contains(std::size_t slot) const { return list_of(slot) != kNone; }
  /// The list `slot` is in, or kNone.
  std::size_t list_of(std::size_t slot) const;
  bool empty(std::size_t list = 0) const { return ends_[list].first == kEnd; }
  /// The slot of `list` with the earliest time (the first of those that have it), or kNone.
  std::size_t first(std::size_t list = 0) const { return widen(ends_[list].first); }
  /// The slot after `slot` in its list, or kNone.
  std::size_t next(std::size_t slot) const { return widen(links_[slot].next); }
  /// The time `slot` was inserted with.
  Clock::time_point time(std::size_t slot) const { return links_[slot].time; }

  static constexpr std::size_t kNone = ~std::size_t{0};

 private:
  // Links are 32-bit and shared by the lists, so thousands of idle connections hold little.
  static constexpr std::uint32_t kEnd = ~std::uint32_t{0};
  static constexpr std::uint8_t kNoList = 0xff;
  static std::size_t widen(std::uint32_t slot) { return slot == kEnd ? kNone : slot; }
  struct Link {
    Clock::time_point time;
    std::uint32_t previous = kEnd;
    std::uint32_t next = kEnd;
    std::uint8_t list = kNoList;
  };
  struct Ends {
    std::uint32_t first = kEnd;
    std::uint32_t last = kEnd;
  };
  std::vector<Link> links_;
  std::vector<Ends> ends_;
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

/// Every open connection's deadline, one time-ordered list per bound.
class DeadlineOrder {
 public:
  DeadlineOrder() : orders_(Timing::kNone) {}
  /// Puts `slot` under `timing` (kNone: under no bound). Costs nothing when that is where it is.
  void set(std::size_t slot, Timing timing);
  /// Appends to `due` every slot whose deadline is at or before `now`.
  void collect_due(Clock::time_point now, std::vector<std::size_t>& due) const;
  /// The earliest deadline of all, or Clock::time_point::max() when no slot is under a bound.
  Clock::time_point earliest() const;

 private:
  TimeOrder orders_;  // list b: the slots under bound b
};

}  // namespace dirhttp
