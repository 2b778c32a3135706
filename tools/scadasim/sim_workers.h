// The connection workers of scadasim's TCP peers: a finished one is joined
// and released at the next accept, so a long run of short connections holds
// no threads, descriptors or contexts.
#pragma once
#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

template <typename Handle>
struct SimWorker {
  Handle handle;
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
};

// Joins the finished workers, hands each one's handle to `release` and drops them.
template <typename Handle, typename Release>
void sim_ReapWorkers(std::vector<SimWorker<Handle>> *workers, Release release) {
  for (size_t i = 0; i < workers->size();) {
    SimWorker<Handle> &w = (*workers)[i];
    if (!*w.done) {
      ++i;
      continue;
    }
    w.thread.join();
    release(w.handle);
    workers->erase(workers->begin() + static_cast<std::ptrdiff_t>(i));
  }
}
