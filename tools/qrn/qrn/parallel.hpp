// The framework's threads: a small pool that runs a loop's shares, and how
// many shares a loop gets.
//
// Waiting threads spin for a few microseconds (the next layer's loop
// usually follows at once) and then sleep, so threads that have nothing to
// do cost no CPU time. A loop started from inside another loop's share, or
// while another thread has the pool, runs its shares in order on the
// calling thread: threads never outnumber the cores the pool was sized for.
// Threads of other runtimes (an OpenMP region's) count as running a share
// while they hold an InShare.
#pragma once

#include <type_traits>
#include <utility>

namespace qrn {

// Threads for a parallel loop over `work` units: one per `grain` units, at
// most `cap` and the threads available, at least 1. The threads available
// are the process's cores less the machine's load (the one-minute average;
// not when OMP_DYNAMIC is "false"), at most 2 (or OMP_NUM_THREADS when
// set): on a loaded machine a loop gets fewer threads instead of threads
// waiting for cores they do not get.
int ParallelThreads(long long work, long long grain, int cap = 1 << 30);

// Runs fn(ctx, share) for share = 0 .. shares - 1 and returns when all are
// done: share 0 on the calling thread, the others on the pool's threads.
void RunShares(int shares, void (*fn)(void* ctx, int share), void* ctx);

// While alive, marks the calling thread as running a share of a loop run
// by threads other than the pool's (an OpenMP region's): loops it starts
// run their shares on it, as in the pool's own shares, instead of waking
// the pool on top of the region's threads.
class InShare {
 public:
  InShare();
  ~InShare();
  InShare(const InShare&) = delete;
  InShare& operator=(const InShare&) = delete;

 private:
  bool was_;  // the thread's mark before
};

// body(share) for share = 0 .. shares - 1, as RunShares.
template <typename Body>
void ParallelShares(int shares, Body&& body) {
  if (shares <= 1) {
    if (shares == 1) body(0);
    return;
  }
  using B = std::remove_reference_t<Body>;
  RunShares(shares, [](void* ctx, int share) { (*static_cast<B*>(ctx))(share); }, &body);
}

// body(first, end, share) over [0, n) cut into `shares` contiguous parts of
// sizes differing by at most one (part t is [n t / shares, n (t + 1) / shares)).
template <typename Body>
void ParallelFor(long long n, int shares, Body&& body) {
  if (shares > n) shares = n > 0 ? static_cast<int>(n) : 1;
  ParallelShares(shares, [&](int t) { body(n * t / shares, n * (t + 1) / shares, t); });
}

}  // namespace qrn
