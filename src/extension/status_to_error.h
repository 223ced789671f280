#pragma once

#include "platform/ctk_error.h"

// The token framework's error for a failed card-library result: a wrong PIN (or a PIN of the
// wrong length, or a blocked one) is a failed authentication, an unmet security status asks for
// the PIN, anything else is a failure to work with the card, its text naming the library code.
ctk::Error statusToError(long code);
