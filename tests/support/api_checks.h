// Checks shared by the API suites for messages the firmware refuses.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "card.h"
#include "fw_test.h"

namespace zv::test {

// Commands the card has issued so far to the GDMA and the tensor engine.
inline size_t issued_commands(host::Card &card) {
  return card.chip().engines.gdma.commands().size() + card.chip().engines.bd.commands().size();
}

// Sends one message; expects the card to answer with `result` and the
// checker to have no finding.
inline void send(host::Card &card, uint32_t id, const std::vector<uint32_t> &payload, uint32_t result = 0) {
  auto a = card.send(id, payload);
  ASSERT_TRUE(a) << card.trouble();
  EXPECT_EQ(a->result, result) << card.console();
  EXPECT_TRUE(no_findings(card.chip()));
}

// Sends `payload` as message `id` and expects it refused: result 1009, no
// checker finding, `console_text` on the console since the send, and no
// GDMA or tensor-engine command issued.
inline void expect_refused(host::Card &card, uint32_t id, const std::vector<uint32_t> &payload,
                           const std::string &console_text) {
  const size_t console = card.console().size();
  const size_t before = issued_commands(card);
  send(card, id, payload, 1009);
  EXPECT_NE(card.console().find(console_text, console), std::string::npos) << card.console().substr(console);
  EXPECT_EQ(issued_commands(card), before) << "commands were issued";
}

// A message the firmware must refuse, and the text its refusal prints.
struct RefusedCase {
  const char *what;
  uint32_t id;
  std::vector<uint32_t> payload;
  const char *console;
};

// Every case refused, in order on one card, on each of the API test cards.
inline void expect_refused_on_api_cards(const std::vector<RefusedCase> &cases) {
  for (const CardConfig &cfg : kApiCards) {
    auto card = deferred_card(cfg.backend, cfg.seed);
    for (const RefusedCase &k : cases) {
      SCOPED_TRACE(card_config_name(cfg) + ": " + k.what);
      expect_refused(*card, k.id, k.payload, k.console);
    }
  }
}

}  // namespace zv::test
