// ParallelFor over std::thread: one contiguous chunk per hardware thread; TaskPool: workers
// that take tasks from one queue.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace qm::os {

// body must not throw. Each index runs exactly once; the calling thread runs the last chunk,
// and also any chunk whose worker thread could not be started.
void ParallelFor(uint32_t first, uint32_t last, const std::function<void(uint32_t)>& body) {
  if (last <= first) return;
  const uint32_t count = last - first;
  uint32_t parts = std::thread::hardware_concurrency();
  if (parts < 1) parts = 1;
  if (parts > count) parts = count;
  if (parts == 1) {
    for (uint32_t i = first; i < last; ++i) body(i);
    return;
  }

  // Chunk k covers count / parts indices, one more for the first count % parts chunks.
  const uint32_t base = count / parts;
  const uint32_t extra = count % parts;
  auto runChunk = [&body](uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) body(i);
  };

  std::vector<std::thread> workers;
  workers.reserve(parts - 1);
  uint32_t from = first;
  for (uint32_t k = 0; k + 1 < parts; ++k) {
    const uint32_t to = from + base + (k < extra ? 1 : 0);
    try {
      workers.emplace_back(runChunk, from, to);
    } catch (const std::system_error&) {
      runChunk(from, to);
    }
    from = to;
  }
  runChunk(from, last);
  for (std::thread& worker : workers) worker.join();
}

struct TaskPool::State {
  std::mutex mutex;
  std::condition_variable queued;
  std::deque<std::function<void()>> tasks;
  bool stop = false;
  std::vector<std::thread> workers;

  void Work() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex);
        queued.wait(lock, [this] { return stop || !tasks.empty(); });
        if (tasks.empty()) return;  // stopping, and nothing is left to run
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      task();
    }
  }
};

TaskPool::TaskPool(uint32_t threads) : state_(std::make_unique<State>()) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  state_->workers.reserve(threads);
  for (uint32_t i = 0; i < threads; ++i) {
    try {
      state_->workers.emplace_back([state = state_.get()] { state->Work(); });
    } catch (const std::system_error&) {
      break;  // fewer workers; with none, Submit runs each task itself
    }
  }
}

TaskPool::~TaskPool() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
  }
  state_->queued.notify_all();
  for (std::thread& worker : state_->workers) worker.join();
}

void TaskPool::Submit(std::function<void()> task) {
  if (state_->workers.empty()) {
    task();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
  }
  state_->queued.notify_one();
}

uint32_t TaskPool::Workers() const { return static_cast<uint32_t>(state_->workers.size()); }

}  // namespace qm::os
