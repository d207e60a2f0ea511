// The deadline order: one list per bound, linked through arrays indexed by slot.
#include "server/deadline_order.h"

namespace dirhttp {

TimeOrder::TimeOrder(std::size_t lists) : ends_(lists) {}

void TimeOrder::insert(std::size_t slot, Clock::time_point time, std::size_t list) {
  if (slot >= links_.size()) links_.resize(slot + 1);
  Ends& ends = ends_[list];
  // From the end: in the loop every insertion carries the latest time, so this stops at once.
  std::uint32_t after = ends.last;
  while (after != kEnd && links_[after].time > time) after = links_[after].previous;
  const std::uint32_t self = static_cast<std::uint32_t>(slot);
  Link& link = links_[slot];
  link.list = static_cast<std::uint8_t>(list);
  link.time = time;
  link.previous = after;
  link.next = after == kEnd ? ends.first : links_[after].next;
  if (link.next != kEnd) {
    links_[link.next].previous = self;
  } else {
    ends.last = self;
  }
  if (after != kEnd) {
    links_[after].next = self;
  } else {
    ends.first = self;
  }
}

void TimeOrder::remove(std::size_t slot) {
  if (!contains(slot)) return;
  Link& link = links_[slot];
  Ends& ends = ends_[link.list];
  if (link.previous != kEnd) {
    links_[link.previous].next = link.next;
  } else {
    ends.first = link.next;
  }
  if (link.next != kEnd) {
    links_[link.next].previous = link.previous;
  } else {
    ends.last = link.previous;
  }
  link = Link();
}

std::size_t TimeOrder::list_of(std::size_t slot) const {
  if (slot >= links_.size() || links_[slot].list == kNoList) return kNone;
  return links_[slot].list;
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
  const std::size_t was = orders_.list_of(slot);
  if (was == TimeOrder::kNone && timing.bound == Timing::kNone) return;
  if (was == static_cast<std::size_t>(timing.bound) && orders_.time(slot) == timing.since) return;
  orders_.remove(slot);
  if (timing.bound != Timing::kNone) orders_.insert(slot, timing.since, timing.bound);
}

void DeadlineOrder::collect_due(Clock::time_point now, std::vector<std::size_t>& due) const {
  for (std::size_t b = 0; b < Timing::kNone; ++b) {
    const Clock::duration length = bound_length(static_cast<Timing::Bound>(b));
    for (std::size_t slot = orders_.first(b);
         slot != TimeOrder::kNone && orders_.time(slot) + length <= now;
         slot = orders_.next(slot)) {
      due.push_back(slot);
    }
  }
}

Clock::time_point DeadlineOrder::earliest() const {
  Clock::time_point earliest = Clock::time_point::max();
  for (std::size_t b = 0; b < Timing::kNone; ++b) {
    if (orders_.empty(b)) continue;
    const Clock::time_point when =
        orders_.time(orders_.first(b)) + bound_length(static_cast<Timing::Bound>(b));
    if (when < earliest) earliest = when;
  }
  return earliest;
}

}  // namespace dirhttp
