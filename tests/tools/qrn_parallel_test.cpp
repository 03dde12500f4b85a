// The framework's thread pool: every index of a loop runs once, in the share
// the split gives it, however loops are nested or started side by side.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qrn/parallel.hpp"

namespace {

// Runs ParallelFor(n, shares) and checks that each index ran exactly once,
// in share t iff it lies in [n t / shares, n (t + 1) / shares).
void CheckSplit(long long n, int shares) {
  std::vector<std::atomic<int>> runs(static_cast<size_t>(n));
  std::vector<std::atomic<int>> share_of(static_cast<size_t>(n));
  std::atomic<int> calls{0};
  qrn::ParallelFor(n, shares, [&](long long first, long long end, int share) {
    ++calls;
    for (long long i = first; i < end; ++i) {
      ++runs[i];
      share_of[i] = share;
    }
  });
  const int used = shares > n ? static_cast<int>(std::max(1LL, n)) : shares;
  EXPECT_EQ(calls, std::max(1, used)) << n << " over " << shares;
  for (long long i = 0; i < n; ++i) {
    ASSERT_EQ(runs[i], 1) << "index " << i << " of " << n << " over " << shares;
    int expected = 0;
    while (n * (expected + 1) / used <= i) ++expected;
    EXPECT_EQ(share_of[i], expected) << "index " << i << " of " << n << " over " << shares;
  }
}

TEST(QrnParallel, EveryIndexRunsOnceInItsShare) {
  // Even and uneven splits, more shares than indices, a single share and
  // an empty loop; repeated so the pool's threads are reused.
  const struct {
    long long n;
    int shares;
  } cases[] = {{64, 4}, {65, 4}, {3, 6}, {1, 8}, {1000, 1}, {0, 3}, {10007, 7}, {64, 2}};
  for (int round = 0; round < 20; ++round)
    for (const auto& c : cases) CheckSplit(c.n, c.shares);
}

TEST(QrnParallel, NestedAndConcurrentLoopsRunEveryIndex) {
  // A loop inside a share, and loops started from several threads at once
  // (one gets the pool, the others run their shares on their own thread).
  constexpr int kOuter = 6, kInner = 50;
  auto nested = [] {
    std::vector<std::atomic<int>> runs(kOuter * kInner);
    qrn::ParallelFor(kOuter, kOuter, [&](long long first, long long end, int) {
      for (long long o = first; o < end; ++o)
        qrn::ParallelFor(kInner, 4, [&](long long a, long long b, int) {
          for (long long i = a; i < b; ++i) ++runs[o * kInner + i];
        });
    });
    int wrong = 0;
    for (auto& r : runs) wrong += r != 1;
    return wrong;
  };
  EXPECT_EQ(nested(), 0);
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&] {
      for (int k = 0; k < 50; ++k) wrong += nested();
    });
  for (auto& t : callers) t.join();
  EXPECT_EQ(wrong, 0);
}

TEST(QrnParallel, LoopsUnderAnInShareRunOnTheirCaller) {
  // A thread of another runtime's loop marks itself (an InShare): a loop it
  // starts runs all its shares on it; the mark is undone in order, and
  // without it the pool runs the other shares on its own threads.
  auto threads_of_loop = [] {
    std::mutex m;
    std::set<std::thread::id> ids;
    qrn::ParallelShares(4, [&](int) {
      std::lock_guard<std::mutex> lock(m);
      ids.insert(std::this_thread::get_id());
    });
    return ids;
  };
  const std::set<std::thread::id> caller = {std::this_thread::get_id()};
  {
    const qrn::InShare outer;
    { const qrn::InShare inner; }
    EXPECT_EQ(threads_of_loop(), caller);
  }
  EXPECT_EQ(threads_of_loop().size(), 4u);
}

TEST(QrnParallel, ThreadsFollowTheWorkAndTheCap) {
  EXPECT_EQ(qrn::ParallelThreads(0, 100), 1);
  EXPECT_EQ(qrn::ParallelThreads(99, 100), 1);
  EXPECT_EQ(qrn::ParallelThreads(1LL << 40, 1, 3), std::min(3, qrn::ParallelThreads(1LL << 40, 1)));
  EXPECT_GE(qrn::ParallelThreads(1LL << 40, 1), 1);
  EXPECT_EQ(qrn::ParallelThreads(1LL << 40, 1, 1), 1);
}

}  // namespace
