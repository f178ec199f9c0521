#pragma once
// The loop of a run that converts several files at once but reports them as
// a sequential run would: workers take items in order, and what each item
// came to is handed back in that same order on the thread that started the
// run. The command-line folder job and the window's run share it.

#include <cstddef>
#include <functional>

namespace tarnwick::shell {

// The steps of an ordered run. Only `item` and `flush` are required.
//
// `item` runs on a worker thread and keeps its result where `flush` finds it
// (a slot per item, say): every write it made is visible to the calling
// thread by the time `flush` is called with the same index, and the slot is
// touched by no one else in between. It must not throw.
struct OrderedRunSteps {
  // Worker thread `worker` (0 .. workers - 1), once, before it takes an
  // item: sets up what the worker keeps between items. False: the worker
  // takes none, the others share the items.
  std::function<bool(int worker)> prepare;
  // Worker thread `worker`, item `index`. True asks that no further item be
  // taken; items already taken still run and are flushed.
  std::function<bool(size_t index, int worker)> item;
  // Calling thread, in item order: item `index` is taken. Always before the
  // flush of the same index.
  std::function<void(size_t index)> taken;
  // Calling thread, in item order, as soon as item `index` and every item
  // before it have run.
  std::function<void(size_t index)> flush;
  // Asked before each item is taken, on a worker thread; true: take no more.
  std::function<bool()> stop;
};

// Workers take no item kOrderedRunMostAhead or more past the first one not
// yet flushed: however long one item takes, at most that many wait behind
// it, so a caller may keep results in a ring of that many slots.
inline constexpr size_t kOrderedRunMostAhead = 256;

// Runs items 0 .. count - 1 on `workers` threads (at least one) and returns
// how many were taken: items [0, taken) were each run and flushed once,
// items from `taken` on were never given to `item`. The call returns when
// every worker has ended.
size_t runOrdered(size_t count, int workers, const OrderedRunSteps& steps);

}  // namespace tarnwick::shell
