#pragma once

#include <string>
#include <string_view>

namespace plat {

// Text from a card, the bus or another process as one line of our output or log: control
// characters shown as '.', quotes and backslashes escaped, so that a peer can neither drive a
// terminal nor forge lines.
std::string printable(std::string_view text);

}  // namespace plat
