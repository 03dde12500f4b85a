// The runner of the API suites: the loop over the API cards, the one check of
// an answer, and the checks for messages the firmware refuses.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "card.h"
#include "fw_test.h"

namespace zv::test {

// Commands the card has issued so far to the GDMA and the tensor engine.
inline size_t issued_commands(host::Card &card) {
  return card.chip().engines.gdma.commands().size() + card.chip().engines.bd.commands().size();
}

// Runs `body(card)` (or `body(card, config)`) on a fresh card for each of
// kApiCards, with the card's name as trace; stops after a card on which the
// body failed fatally.
template <class Body>
void for_each_api_card(Body &&body) {
  for (const CardConfig &cfg : kApiCards) {
    SCOPED_TRACE(card_config_name(cfg));
    auto card = deferred_card(cfg.backend, cfg.seed);
    if constexpr (std::is_invocable_v<Body &, host::Card &, const CardConfig &>)
      body(*card, cfg);
    else
      body(*card);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// The card answered (`a` is set) with `result`, and its happens-before
// checker has no finding. The failure names what went wrong: the card's
// trouble, the result with the console text, the findings.
inline ::testing::AssertionResult AnswerOk(host::Card &card, const std::optional<host::Answer> &a,
                                           uint32_t result = 0) {
  if (!a) return ::testing::AssertionFailure() << "no answer: " << card.trouble();
  if (a->result != result)
    return ::testing::AssertionFailure() << "result " << a->result << ", want " << result << "; console:\n"
                                         << card.console();
  return no_findings(card.chip());
}

// Sends one message; expects the card to answer with `result` and the
// checker to have no finding.
inline void send(host::Card &card, uint32_t id, const std::vector<uint32_t> &payload, uint32_t result = 0) {
  EXPECT_TRUE(AnswerOk(card, card.send(id, payload), result));
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
  for_each_api_card([&](host::Card &card) {
    for (const RefusedCase &k : cases) {
      SCOPED_TRACE(k.what);
      expect_refused(card, k.id, k.payload, k.console);
    }
  });
}

}  // namespace zv::test
