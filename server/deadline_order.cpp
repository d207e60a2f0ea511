// The deadline order: one list per bound, linked through arrays indexed by slot.
#include "server/deadline_order.h"

namespace dirhttp {

void TimeOrder::insert(std::size_t slot, Clock::time_point time) {
  if (slot >= links_.size()) links_.resize(slot + 1);
  // From the end: in the loop every insertion carries the latest time, so this stops at once.
  std::size_t after = last_;
  while (after != kNone && links_[after].time > time) after = links_[after].previous;
  Link& link = links_[slot];
  link.member = true;
  link.time = time;
  link.previous = after;
  link.next = after == kNone ? first_ : links_[after].next;
  if (link.next != kNone) {
    links_[link.next].previous = slot;
  } else {
    last_ = slot;
  }
  if (after != kNone) {
    links_[after].next = slot;
  } else {
    first_ = slot;
  }
}

void TimeOrder::remove(std::size_t slot) {
  if (!contains(slot)) return;
  Link& link = links_[slot];
  if (link.previous != kNone) {
    links_[link.previous].next = link.next;
  } else {
    first_ = link.next;
  }
  if (link.next != kNone) {
    links_[link.next].previous = link.previous;
  } else {
    last_ = link.previous;
  }
  link = Link();
}

bool TimeOrder::contains(std::size_t slot) const {
  return slot < links_.size() && links_[slot].member;
}

Timing timing_of(const Connection& connection) {
  switch (connection.phase) {
    case Phase::kReceiving:
      if (connection.request.empty()) return {Timing::kIdle, connection.accepted};
      return {Timing::kRequestLine, connection.since};
    case Phase::kSending:
      return {Timing::kSendStall, connection.since};
    case Phase::kDraining:
      return {Timing::kDrain, connection.since};
    case Phase::kClosed:
      break;
  }
  return {Timing::kNone, connection.since};
}

Clock::duration bound_length(Timing::Bound bound) {
  switch (bound) {
    case Timing::kIdle:
      return kIdleTimeout;
    case Timing::kRequestLine:
      return kRequestLineWait;
    case Timing::kSendStall:
      return kSendStall;
    case Timing::kDrain:
      return kDrainTime;
    case Timing::kNone:
      break;
  }
  return Clock::duration::max();
}

void DeadlineOrder::set(std::size_t slot, Timing timing) {
  if (slot >= bounds_.size()) bounds_.resize(slot + 1, Timing::kNone);
  const Timing::Bound was = bounds_[slot];
  if (was == timing.bound && (was == Timing::kNone || orders_[was].time(slot) == timing.since)) {
    return;
  }
  if (was != Timing::kNone) orders_[was].remove(slot);
  if (timing.bound != Timing::kNone) orders_[timing.bound].insert(slot, timing.since);
  bounds_[slot] = timing.bound;
}

void DeadlineOrder::collect_due(Clock::time_point now, std::vector<std::size_t>& due) const {
  for (std::size_t b = 0; b < orders_.size(); ++b) {
    const TimeOrder& order = orders_[b];
    const Clock::duration length = bound_length(static_cast<Timing::Bound>(b));
    for (std::size_t slot = order.empty() ? TimeOrder::kNone : order.first();
         slot != TimeOrder::kNone && order.time(slot) + length <= now; slot = order.next(slot)) {
      due.push_back(slot);
    }
  }
}

Clock::time_point DeadlineOrder::earliest() const {
  Clock::time_point earliest = Clock::time_point::max();
  for (std::size_t b = 0; b < orders_.size(); ++b) {
    const TimeOrder& order = orders_[b];
    if (order.empty()) continue;
    const Clock::time_point when =
        order.time(order.first()) + bound_length(static_cast<Timing::Bound>(b));
    if (when < earliest) earliest = when;
  }
  return earliest;
}

}  // namespace dirhttp
