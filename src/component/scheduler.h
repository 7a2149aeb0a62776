// Posting work to the owner's thread after a delay: the component's one-shot
// start timer in main-thread mode goes through this.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

struct TScheduler {
  virtual ~TScheduler() = default;
  // Runs fn once on the owner's thread, no sooner than ms milliseconds from now.
  virtual void PostDelayed(int ms, std::function<void()> fn) = 0;
};

// A plain event loop for owners without one (command line, tests): callbacks
// run on the thread that calls Pump / RunUntil. PostDelayed may be called from
// any thread.
class TLoopScheduler : public TScheduler {
 public:
  using Clock = std::chrono::steady_clock;

  void PostDelayed(int ms, std::function<void()> fn) override {
    {
      std::lock_guard lock(mutex_);
      items_.push_back({Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms), seq_++, std::move(fn)});
    }
    cv_.notify_all();
  }

  // Runs every callback that is due now; returns how many ran.
  int Pump() {
    int n = 0;
    while (std::function<void()> fn = TakeDue()) {
      fn();  // the item is already out of the queue: a callback may post again
      ++n;
    }
    return n;
  }

  // Pumps until done() is true or the timeout passes; returns done().
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      Pump();
      if (done()) return true;
      const auto now = Clock::now();
      if (now >= deadline) return done();
      std::unique_lock lock(mutex_);
      auto wake = now + std::chrono::milliseconds(5);
      for (const Item& it : items_)
        if (it.due < wake) wake = it.due;
      if (wake > deadline) wake = deadline;
      cv_.wait_until(lock, wake);
    }
  }

  // Callbacks waiting (due or not).
  size_t Pending() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

  // Wakes a RunUntil waiting on this loop (e.g. after a worker changed state).
  void Wake() { cv_.notify_all(); }

 private:
  struct Item {
    Clock::time_point due;
    unsigned long long seq;
    std::function<void()> fn;
  };

  std::function<void()> TakeDue() {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    size_t best = items_.size();
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i].due > now) continue;
      if (best == items_.size() || items_[i].due < items_[best].due ||
          (items_[i].due == items_[best].due && items_[i].seq < items_[best].seq))
        best = i;
    }
    if (best == items_.size()) return {};
    std::function<void()> fn = std::move(items_[best].fn);
    items_.erase(items_.begin() + static_cast<long>(best));
    return fn;
  }

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Item> items_;
  unsigned long long seq_ = 0;
};
