// Shared rig of the layer benchmarks: each case prepares one API call on a
// fresh card running the ARM image, and the runner prints the call's modelled
// time, engine busy fractions, ARM instructions and command counts as a table.
//
// usage of a benchmark built on it: NAME [ELF [LAYER]] (an empty ELF names the
// built image; LAYER keeps the cases whose name contains it). With
// ZV_BENCH_TIMELINE set, each case is followed by its tensor-engine and GDMA
// commands: kind, and when the ARM issued it, it started and it finished (us
// from the first command's issue). The last two columns are the host's wall
// time of the call and host milliseconds per modelled microsecond.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "card.h"

namespace bench {

struct Call {
  uint32_t api;
  std::vector<uint32_t> payload;
};

struct Case {
  std::string layer;
  std::string shape;
  std::function<Call(zv::host::Card &)> prepare;
};

// The commands of one call on the tensor engine and GDMA, in issue order.
inline void print_timeline(zv::host::Card &card, size_t te_from, size_t gdma_from) {
  struct Row {
    const char *engine;
    const zv::chip::CommandRecord *r;
  };
  std::vector<Row> rows;
  const auto &te = card.chip().engines.bd.commands();
  const auto &gdma = card.chip().engines.gdma.commands();
  for (size_t i = te_from; i < te.size(); ++i) rows.push_back({"TE", &te[i]});
  for (size_t i = gdma_from; i < gdma.size(); ++i) rows.push_back({"GDMA", &gdma[i]});
  if (rows.empty()) return;
  std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.r->seq < b.r->seq; });
  const uint64_t t0 = rows.front().r->issued_at;
  const auto us = [t0](uint64_t ps) { return static_cast<double>(ps - t0) / 1e6; };
  for (const Row &row : rows)
    std::printf("    %-4s id %4u waits %4u %-24s issued %8.2f start %8.2f finish %8.2f\n", row.engine, row.r->own_id,
                row.r->wait_id, row.r->kind_name.c_str(), us(row.r->issued_at), us(row.r->start_at),
                us(row.r->finish_at));
}

template <class T>
Call call_of(uint32_t api, const T &r) {
  Call call{api, std::vector<uint32_t>(sizeof r / 4)};
  std::memcpy(call.payload.data(), &r, sizeof r);
  return call;
}

// Runs each case named on the command line's filter (argv[2], a substring of
// its layer) on a fresh card of the image argv[1] (the built image by
// default): prepare, then report(card, case, call) around the call, which
// returns false when the call failed. Returns the program's exit status.
template <typename Report>
int for_each_layer_call(int argc, char **argv, const std::vector<Case> &cases, Report report) {
  using zv::host::Card;
  const std::string elf = argc > 1 && argv[1][0] != '\0' ? argv[1] : ZV_ARM_ELF;
  const std::string only = argc > 2 ? argv[2] : "";
  for (const Case &c : cases) {
    if (!only.empty() && c.layer.find(only) == std::string::npos) continue;
    zv::host::CardOptions options;
    options.elf = elf;
    Card card(options);
    if (card.state() != Card::State::Running) {
      std::fprintf(stderr, "card did not start: %s\n", card.trouble().c_str());
      return 1;
    }
    const Call call = c.prepare(card);
    if (!report(card, c, call)) {
      std::fprintf(stderr, "%s %s failed: %s\n%s\n", c.layer.c_str(), c.shape.c_str(), card.trouble().c_str(),
                   card.console().c_str());
      return 1;
    }
    std::fflush(stdout);
  }
  return 0;
}

inline int run_layer_calls(int argc, char **argv, const std::vector<Case> &cases) {
  std::printf("| layer | shape | modelled us | TE busy | ideal | GDMA busy | ARM insns | TE cmds | GDMA cmds | host ms | host ms / us |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  return for_each_layer_call(argc, argv, cases, [](zv::host::Card &card, const Case &c, const Call &call) {
    const size_t te_before = card.chip().engines.bd.commands().size();
    const size_t gdma_before = card.chip().engines.gdma.commands().size();
    const uint64_t before = card.instructions();
    const auto host_start = std::chrono::steady_clock::now();
    auto answer = card.send(call.api, call.payload);
    const double host_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - host_start).count();
    if (!answer || answer->result != 0) return false;
    const zv::host::Timing &t = answer->timing;
    std::printf("| %s | %s | %.1f | %.3f | %.3f | %.3f | %llu | %zu | %zu | %.0f | %.2f |\n", c.layer.c_str(), c.shape.c_str(),
                t.elapsed_us(), t.te_busy(), t.te_ideal(), t.gdma_busy(),
                static_cast<unsigned long long>(card.instructions() - before),
                card.chip().engines.bd.commands().size() - te_before,
                card.chip().engines.gdma.commands().size() - gdma_before, host_ms, host_ms / t.elapsed_us());
    if (std::getenv("ZV_BENCH_TIMELINE")) print_timeline(card, te_before, gdma_before);
    return true;
  });
}

}  // namespace bench
