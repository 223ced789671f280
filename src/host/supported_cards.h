#pragma once

#include <vector>

namespace host {

// The extension's matching data: the platform starts it for a card whose ATR is one of the two
// card generations' (the same tables the card library recognises the generations by).
bool isSupportedCard(const std::vector<unsigned char>& atr);

}  // namespace host
