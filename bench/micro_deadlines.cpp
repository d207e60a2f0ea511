// Micro-benchmarks of the loop's deadline bookkeeping per wake-up: the deadline order (a list
// per bound), an indexed binary heap of deadlines, and a scan of every connection, with 16
// connections making progress per wake-up beside a number of idle ones.
#include <benchmark/benchmark.h>

#include <chrono>
#include <utility>
#include <vector>

#include "server/deadline_order.h"

namespace {

using dirhttp::Clock;
using dirhttp::DeadlineOrder;
using dirhttp::Timing;

constexpr std::size_t kActive = 16;
constexpr auto kWakeGap = std::chrono::microseconds(50);

// Deadlines in a binary heap with each slot's position kept, so a deadline moves in place.
class IndexedHeap {
 public:
  void set(std::size_t slot, Clock::time_point when) {
    if (slot >= position_.size()) position_.resize(slot + 1, kAbsent);
    std::size_t at = position_[slot];
    if (at == kAbsent) {
      at = heap_.size();
      heap_.emplace_back(when, slot);
      position_[slot] = at;
    } else {
      heap_[at].first = when;
    }
    sift_down(sift_up(at));
  }
  void collect_due(Clock::time_point now, std::vector<std::size_t>& due) const {
    // The due ones are those above `now` in heap order: a walk from the top.
    walk(0, now, due);
  }
  Clock::time_point earliest() const {
    return heap_.empty() ? Clock::time_point::max() : heap_[0].first;
  }

 private:
  static constexpr std::size_t kAbsent = ~std::size_t{0};
  void swap_at(std::size_t a, std::size_t b) {
    std::swap(heap_[a], heap_[b]);
    position_[heap_[a].second] = a;
    position_[heap_[b].second] = b;
  }
  std::size_t sift_up(std::size_t at) {
    while (at > 0 && heap_[(at - 1) / 2].first > heap_[at].first) {
      swap_at(at, (at - 1) / 2);
      at = (at - 1) / 2;
    }
    return at;
  }
  void sift_down(std::size_t at) {
    while (true) {
      std::size_t least = at;
      for (std::size_t child = 2 * at + 1; child <= 2 * at + 2 && child < heap_.size(); ++child) {
        if (heap_[child].first < heap_[least].first) least = child;
      }
      if (least == at) return;
      swap_at(at, least);
      at = least;
    }
  }
  void walk(std::size_t at, Clock::time_point now, std::vector<std::size_t>& due) const {
    if (at >= heap_.size() || heap_[at].first > now) return;
    due.push_back(heap_[at].second);
    walk(2 * at + 1, now, due);
    walk(2 * at + 2, now, due);
  }
  std::vector<std::pair<Clock::time_point, std::size_t>> heap_;
  std::vector<std::size_t> position_;
};

// Every connection's deadline in an array, scanned whole on every wake-up.
class Scan {
 public:
  void set(std::size_t slot, Clock::time_point when) {
    if (slot >= deadlines_.size()) deadlines_.resize(slot + 1, Clock::time_point::max());
    deadlines_[slot] = when;
  }
  void collect_due(Clock::time_point now, std::vector<std::size_t>& due) const {
    for (std::size_t slot = 0; slot < deadlines_.size(); ++slot) {
      if (deadlines_[slot] <= now) due.push_back(slot);
    }
  }
  Clock::time_point earliest() const {
    Clock::time_point earliest = Clock::time_point::max();
    for (const Clock::time_point when : deadlines_) earliest = std::min(earliest, when);
    return earliest;
  }

 private:
  std::vector<Clock::time_point> deadlines_;
};

// Each structure filed by a slot's bound and its start, as the loop files connections.
void file(DeadlineOrder& order, std::size_t slot, Timing::Bound bound, Clock::time_point since) {
  order.set(slot, Timing{bound, since});
}
template <typename Other>
void file(Other& other, std::size_t slot, Timing::Bound bound, Clock::time_point since) {
  other.set(slot, since + dirhttp::bound_length(bound));
}

// One wake-up: the 16 active connections send a piece each (their stall restarts), then the
// due ones are collected (idle ones that reached their bound: closed, their slots taken by
// newcomers that are idle in turn) and the next deadline read.
template <typename Deadlines>
void BM_deadlines_per_wake(benchmark::State& state) {
  const std::size_t idle = static_cast<std::size_t>(state.range(0));
  Deadlines deadlines;
  Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
  for (std::size_t slot = 0; slot < idle; ++slot) file(deadlines, slot, Timing::kIdle, now);
  for (std::size_t i = 0; i < kActive; ++i) file(deadlines, idle + i, Timing::kSendStall, now);
  std::vector<std::size_t> due;
  for (auto _ : state) {
    now += kWakeGap;
    for (std::size_t i = 0; i < kActive; ++i) file(deadlines, idle + i, Timing::kSendStall, now);
    due.clear();
    deadlines.collect_due(now, due);
    for (const std::size_t slot : due) file(deadlines, slot, Timing::kIdle, now);
    benchmark::DoNotOptimize(deadlines.earliest());
    benchmark::DoNotOptimize(due.data());
  }
}
BENCHMARK_TEMPLATE(BM_deadlines_per_wake, DeadlineOrder)->Arg(0)->Arg(4000)->Arg(16000);
BENCHMARK_TEMPLATE(BM_deadlines_per_wake, IndexedHeap)->Arg(0)->Arg(4000)->Arg(16000);
BENCHMARK_TEMPLATE(BM_deadlines_per_wake, Scan)->Arg(0)->Arg(4000)->Arg(16000);

}  // namespace
