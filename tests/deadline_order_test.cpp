// The deadline order: each phase's documented bound, counted from its own event; only the due
// connections reported; the oldest connection still waiting for its request found first.
#include "server/deadline_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace dirhttp {
namespace {

using std::chrono::milliseconds;

const Clock::time_point kStart = Clock::time_point{} + std::chrono::hours(1);

std::vector<std::size_t> due_at(const DeadlineOrder& order, Clock::time_point now) {
  std::vector<std::size_t> due;
  order.collect_due(now, due);
  std::sort(due.begin(), due.end());
  return due;
}

TEST(DeadlineOrder, EachPhaseIsDueItsDocumentedBoundAfterItsOwnEvent) {
  struct Case {
    const char* what;
    Phase phase;
    const char* received;
    Clock::time_point accepted;
    Clock::time_point since;
    Clock::time_point deadline;
  };
  const Case cases[] = {
      {"silent: 5 s from the accept", Phase::kReceiving, "", kStart, kStart + milliseconds(300),
       kStart + milliseconds(5000)},
      {"first bytes: 500 ms from them", Phase::kReceiving, "GE", kStart,
       kStart + milliseconds(4000), kStart + milliseconds(4500)},
      {"sending: 30 s from the last progress", Phase::kSending, "", kStart,
       kStart + milliseconds(7000), kStart + milliseconds(37000)},
      {"draining: 2 s from its start", Phase::kDraining, "", kStart, kStart + milliseconds(900),
       kStart + milliseconds(2900)},
  };
  for (const Case& c : cases) {
    Connection connection = accepted_connection(INVALID_SOCKET, c.accepted);
    connection.phase = c.phase;
    connection.request = c.received;
    connection.since = c.since;
    DeadlineOrder order;
    order.set(3, timing_of(connection));
    EXPECT_EQ(order.earliest(), c.deadline) << c.what;
    EXPECT_TRUE(due_at(order, c.deadline - milliseconds(1)).empty()) << c.what;
    EXPECT_EQ(due_at(order, c.deadline), std::vector<std::size_t>{3}) << c.what;
  }
}

TEST(DeadlineOrder, AClosedConnectionIsUnderNoBound) {
  Connection connection = accepted_connection(INVALID_SOCKET, kStart);
  DeadlineOrder order;
  order.set(0, timing_of(connection));
  connection.phase = Phase::kClosed;
  order.set(0, timing_of(connection));
  EXPECT_EQ(order.earliest(), Clock::time_point::max());
  EXPECT_TRUE(due_at(order, kStart + std::chrono::hours(1)).empty());
}

TEST(DeadlineOrder, OnlyTheDueAreReportedAcrossPhases) {
  DeadlineOrder order;
  // Slot: (bound, since); due at 10 s: silent since 4 s (9 s), partial since 9.6 s (10.1 s),
  // sending since 0 s (30 s), draining since 7.5 s (9.5 s) and since 8.5 s (10.5 s).
  order.set(0, {Timing::kIdle, kStart + milliseconds(4000)});
  order.set(1, {Timing::kIdle, kStart + milliseconds(5500)});
  order.set(2, {Timing::kRequestLine, kStart + milliseconds(9600)});
  order.set(3, {Timing::kSendStall, kStart});
  order.set(4, {Timing::kDrain, kStart + milliseconds(7500)});
  order.set(5, {Timing::kDrain, kStart + milliseconds(8500)});
  EXPECT_EQ(due_at(order, kStart + milliseconds(10000)), (std::vector<std::size_t>{0, 4}));
  EXPECT_EQ(order.earliest(), kStart + milliseconds(9000));
}

TEST(DeadlineOrder, ProgressMovesASendingConnectionsDeadline) {
  DeadlineOrder order;
  order.set(0, {Timing::kSendStall, kStart});
  order.set(1, {Timing::kSendStall, kStart + milliseconds(1000)});
  // Slot 0 sent a byte at 20 s: its stall counts from there, after slot 1's.
  order.set(0, {Timing::kSendStall, kStart + milliseconds(20000)});
  EXPECT_EQ(order.earliest(), kStart + milliseconds(31000));
  EXPECT_EQ(due_at(order, kStart + milliseconds(31000)), std::vector<std::size_t>{1});
  EXPECT_EQ(due_at(order, kStart + milliseconds(50000)), (std::vector<std::size_t>{0, 1}));
}

TEST(DeadlineOrder, ASlotLeavesItsOldBoundWhenItMovesOn) {
  DeadlineOrder order;
  order.set(0, {Timing::kIdle, kStart});
  order.set(0, {Timing::kDrain, kStart + milliseconds(100)});
  EXPECT_EQ(order.earliest(), kStart + milliseconds(2100));
  EXPECT_EQ(due_at(order, kStart + milliseconds(2100)), std::vector<std::size_t>{0});
}

TEST(TimeOrder, TheFirstIsTheOldestWhateverLeavesOrComesBack) {
  // The connections waiting for their request in the order of their accept: the first is the
  // one that gives way at the cap.
  TimeOrder waiting;
  for (std::size_t slot = 0; slot < 6; ++slot) waiting.insert(slot, kStart + milliseconds(slot));
  EXPECT_EQ(waiting.first(), 0u);
  waiting.remove(0);
  EXPECT_EQ(waiting.first(), 1u);
  waiting.remove(3);
  waiting.remove(3);  // twice: nothing happens
  EXPECT_FALSE(waiting.contains(3));
  // A slot reused by a newcomer goes to the end.
  waiting.insert(0, kStart + milliseconds(10));
  std::vector<std::size_t> order;
  for (std::size_t s = waiting.first(); s != TimeOrder::kNone; s = waiting.next(s)) {
    order.push_back(s);
  }
  EXPECT_EQ(order, (std::vector<std::size_t>{1, 2, 4, 5, 0}));
  for (std::size_t s : order) waiting.remove(s);
  EXPECT_TRUE(waiting.empty());
}

TEST(TimeOrder, AnEarlierTimeIsPlacedInOrder) {
  TimeOrder order;
  order.insert(0, kStart + milliseconds(10));
  order.insert(1, kStart + milliseconds(30));
  order.insert(2, kStart + milliseconds(20));
  order.insert(3, kStart);
  order.insert(4, kStart + milliseconds(20));  // after the equal one already there
  std::vector<std::size_t> slots;
  for (std::size_t s = order.first(); s != TimeOrder::kNone; s = order.next(s)) slots.push_back(s);
  EXPECT_EQ(slots, (std::vector<std::size_t>{3, 0, 2, 4, 1}));
}

}  // namespace
}  // namespace dirhttp
