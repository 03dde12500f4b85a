#include "qrn/parallel.hpp"

#include <sched.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace qrn {
namespace {

// How long a waiting thread polls before it sleeps: long enough to catch
// the next loop of a forward pass (the layers follow each other within
// microseconds), short enough that idle threads cost next to nothing.
constexpr std::chrono::microseconds kSpin(20);

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

// Polls ready() for up to kSpin; whether it became true.
template <typename Ready>
bool SpinUntil(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned i = 0;; ++i) {
    if (ready()) return true;
    if ((i & 31) == 31 && std::chrono::steady_clock::now() >= until) return false;
    CpuRelax();
  }
}

// Threads at most unless OMP_NUM_THREADS says otherwise: the layers'
// loops over a forward pass of a few dozen samples gain little wall time
// from more, and every thread adds its waits to the CPU time.
constexpr int kDefaultMaxThreads = 2;

struct Settings {
  int cores;     // the process's cores
  int limit;     // threads at most
  bool dynamic;  // fewer on a loaded machine
};

const Settings& TheSettings() {
  static const Settings settings = [] {
    Settings s{static_cast<int>(std::max(1u, std::thread::hardware_concurrency())), 1, true};
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) s.cores = std::max(1, CPU_COUNT(&set));
    const char* n = std::getenv("OMP_NUM_THREADS");
    const int limit = n != nullptr && std::atoi(n) > 0 ? std::atoi(n) : kDefaultMaxThreads;
    s.limit = std::min(s.cores, limit);
    if (const char* d = std::getenv("OMP_DYNAMIC"))
      s.dynamic = strcasecmp(d, "false") != 0;
    return s;
  }();
  return settings;
}

int AvailableThreads() {
  const Settings& s = TheSettings();
  if (!s.dynamic) return s.limit;
  // The load average, read again at most every half second.
  static std::atomic<long long> next_read_ms{0};
  static std::atomic<int> available{s.limit};
  const long long now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  if (now_ms >= next_read_ms.load(std::memory_order_relaxed)) {
    next_read_ms.store(now_ms + 500, std::memory_order_relaxed);
    double load = 0.0;
    if (getloadavg(&load, 1) == 1) {
      const int busy = static_cast<int>(load + 0.1);
      available.store(std::clamp(s.cores - busy, 1, s.limit), std::memory_order_relaxed);
    }
  }
  return available.load(std::memory_order_relaxed);
}

// Set on the pool's threads, on a caller while it runs its share, and on a
// thread holding an InShare.
thread_local bool in_share = false;

class Pool {
 public:
  // Runs the shares, or returns false (having run none) when called from a
  // share or while another thread runs a job.
  bool Run(int shares, void (*fn)(void*, int), void* ctx) {
    if (in_share) return false;
    std::unique_lock<std::mutex> running(run_m_, std::try_to_lock);
    if (!running.owns_lock()) return false;
    while (static_cast<int>(workers_.size()) < shares - 1) {
      workers_.push_back(std::make_unique<Worker>());
      Worker* w = workers_.back().get();
      const int share = static_cast<int>(workers_.size());
      std::thread([this, w, share] { Loop(w, share); }).detach();
    }
    fn_ = fn;
    ctx_ = ctx;
    ++generation_;
    pending_.store(shares - 1, std::memory_order_relaxed);
    for (int i = 0; i < shares - 1; ++i) {
      Worker& w = *workers_[i];
      {
        std::lock_guard<std::mutex> lock(w.m);
        w.job.store(generation_, std::memory_order_release);
      }
      w.cv.notify_one();
    }
    in_share = true;
    fn(ctx, 0);
    in_share = false;
    auto done = [this] { return pending_.load(std::memory_order_acquire) == 0; };
    if (!SpinUntil(done)) {
      std::unique_lock<std::mutex> lock(done_m_);
      done_cv_.wait(lock, done);
    }
    return true;
  }

 private:
  struct alignas(64) Worker {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<uint64_t> job{0};  // the generation of the last job handed to it
  };

  void Loop(Worker* w, int share) {
    in_share = true;  // loops inside a share run on this thread
    uint64_t seen = 0;
    auto given = [w, &seen] { return w->job.load(std::memory_order_acquire) != seen; };
    for (;;) {
      if (!SpinUntil(given)) {
        std::unique_lock<std::mutex> lock(w->m);
        w->cv.wait(lock, given);
      }
      seen = w->job.load(std::memory_order_acquire);
      fn_(ctx_, share);
      if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        { std::lock_guard<std::mutex> lock(done_m_); }
        done_cv_.notify_one();
      }
    }
  }

  std::mutex run_m_;  // held while a job runs
  std::vector<std::unique_ptr<Worker>> workers_;  // worker i runs share i + 1
  void (*fn_)(void*, int) = nullptr;
  void* ctx_ = nullptr;
  uint64_t generation_ = 0;
  std::atomic<int> pending_{0};  // worker shares of the job not yet done
  std::mutex done_m_;
  std::condition_variable done_cv_;
};

}  // namespace

InShare::InShare() : was_(in_share) { in_share = true; }

InShare::~InShare() { in_share = was_; }

int ParallelThreads(long long work, long long grain, int cap) {
  const long long wanted = grain > 0 ? work / grain : 1;
  return static_cast<int>(std::clamp<long long>(wanted, 1, std::max(1, std::min(cap, AvailableThreads()))));
}

void RunShares(int shares, void (*fn)(void*, int), void* ctx) {
  // Threads waiting on the pool at exit are simply ended with the process:
  // the pool is never destroyed.
  static Pool* const pool = new Pool;
  if (shares > 1 && pool->Run(shares, fn, ctx)) return;
  for (int t = 0; t < shares; ++t) fn(ctx, t);
}

}  // namespace qrn
