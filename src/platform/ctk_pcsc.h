#pragma once

#include <memory>

#include "platform/ctk_smartcard.h"

namespace ctk::pcsc {

// The slot manager over the PC/SC service (pcscd): every PC/SC reader is a slot, and every
// card object holds its own PC/SC context and shared connection, so that cards in different
// readers work in parallel.
std::shared_ptr<ctk::SlotManager> makeSlotManager();

}  // namespace ctk::pcsc
