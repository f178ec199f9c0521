#include "shell/ordered_run.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnwick::shell {
namespace {

// The state the workers and the calling thread share, under one mutex.
class OrderedRun {
 public:
  OrderedRun(size_t count, int workers, const OrderedRunSteps& steps)
      : steps_(steps), workers_(workers), done_(count, 0) {}

  size_t run() {
    std::vector<std::thread> threads;
    threads.reserve(size_t(workers_));
    for (int k = 0; k < workers_; ++k) threads.emplace_back([this, k] { work(k); });
    deliver();
    for (std::thread& t : threads) t.join();
    return taken_;
  }

 private:
  // Calling thread: hands out the taken and done items in order until every
  // worker has ended and nothing is left to hand out.
  void deliver() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [&] { return announceDue() || flushDue() || idle_ == workers_; });
      if (announceDue()) {
        const size_t index = announced_++;
        lock.unlock();
        steps_.taken(index);
        lock.lock();
      } else if (flushDue()) {
        const size_t index = flushed_;
        lock.unlock();
        steps_.flush(index);
        lock.lock();
        ++flushed_;
        ready_.notify_all();  // a worker may wait for room ahead
      } else {
        // Every worker has ended, so every item taken is done and flushed.
        return;
      }
    }
  }

  bool announceDue() const { return steps_.taken && announced_ < taken_; }
  // An item is flushed only after it was announced.
  bool flushDue() const {
    return flushed_ < taken_ && done_[flushed_] && (!steps_.taken || flushed_ < announced_);
  }

  void work(int k) {
    bool ready = !steps_.prepare || steps_.prepare(k);
    while (ready) {
      size_t index = 0;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] {
          return stop_ || taken_ >= done_.size() || taken_ < flushed_ + kOrderedRunMostAhead;
        });
        if (stop_ || taken_ >= done_.size()) break;
        if (steps_.stop && steps_.stop()) {
          stop_ = true;
          break;
        }
        index = taken_++;
        if (steps_.taken) ready_.notify_all();
      }
      const bool stopTaking = steps_.item(index, k);
      const std::lock_guard lock(mutex_);
      if (stopTaking) stop_ = true;
      done_[index] = 1;
      ready_.notify_all();
    }
    const std::lock_guard lock(mutex_);
    ++idle_;
    ready_.notify_all();
  }

  const OrderedRunSteps& steps_;
  const int workers_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<char> done_;  // per item: it has run
  size_t taken_ = 0;
  size_t announced_ = 0;
  size_t flushed_ = 0;
  int idle_ = 0;  // workers that have ended
  bool stop_ = false;
};

}  // namespace

size_t runOrdered(size_t count, int workers, const OrderedRunSteps& steps) {
  OrderedRun run(count, std::max(workers, 1), steps);
  return run.run();
}

}  // namespace tarnwick::shell
