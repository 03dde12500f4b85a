// The chip's four engines with what they share: the bus onto the memories, the
// scheduler that decides when commands run, and the happens-before checker.
#pragma once

#include <string>
#include <vector>

#include "chip/engines/bd/bd.h"
#include "chip/engines/bus.h"
#include "chip/engines/cdma/cdma.h"
#include "chip/engines/gde/gde.h"
#include "chip/engines/gdma/gdma.h"
#include "chip/engines/race_checker.h"
#include "chip/engines/scheduler.h"

namespace zv::chip {

class Engines {
 public:
  Engines(Memory &dtcm, Memory &local, Memory &l2, Memory &ddr, const EngineConfig &config)
      : bus(dtcm, local, l2, ddr, checker), scheduler(checker, bus), bd(scheduler), gdma(scheduler),
        cdma(scheduler), gde(scheduler) {
    checker.enable(config.check_races);
    scheduler.configure(config.schedule, config.seed);
    scheduler.pump_fetch = [this] {
      // Both fetches, until neither can take a descriptor.
      while (bd.fetch_step(bus, scheduler.gdma.issued_id) | gdma.fetch_step(bus, scheduler.bd.issued_id)) {
      }
    };
  }
  Engines(const Engines &) = delete;
  Engines &operator=(const Engines &) = delete;

  // What the happens-before checker found (empty while it is off).
  std::vector<std::string> findings() const { return checker.findings(); }

  RaceChecker checker;
  Bus bus;
  Scheduler scheduler;
  BdEngine bd;
  GdmaEngine gdma;
  CdmaEngine cdma;
  GdeEngine gde;
};

}  // namespace zv::chip
