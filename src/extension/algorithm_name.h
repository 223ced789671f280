#pragma once

namespace ctk {
class TokenKeyAlgorithm;
}

// The short name of the requested algorithm for the log (the constant's name without its
// "kSecKeyAlgorithm" prefix), null for an algorithm outside the names the extension knows. The
// PSS and variable-IV algorithms are only written to the system log.
const char* name(const ctk::TokenKeyAlgorithm& algorithm);
