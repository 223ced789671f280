#pragma once

#include <array>
#include <vector>

#include "CardController/Card/card.h"

// Status-word interpretation shared by both ChipDoc command sets (internal to CardController/Card).
namespace gc_card {

// The card's own status words, the same on both ChipDoc generations; each command set keeps
// them under its own name.
const std::array<GC_Card::sw_error, 15>& chipdocErrors();

// The ChipDoc rules: a PIN command answered by exactly 69 83 keeps the ISO meaning (blocked);
// 69 85 after MANAGE SECURITY ENVIRONMENT is also reported as an algorithm problem; a bare
// status word is looked up in the card's own table first; anything else, and every answer
// carrying data, goes to the ISO table of GC_Card.
// pinRuleAsError: write the PIN rule's result as an error line (else as a trace line).
int chipdocCheckSW(GC_Card& card, const std::array<GC_Card::sw_error, 15>& table, GC_Card::operation op,
                   const std::vector<unsigned char>& response, bool pinRuleAsError, const char* logFile);

}  // namespace gc_card
