#pragma once

#include <memory>

#include "CardController/cardcontroller_varnel.h"

// The controller of the first generation of the identity card (Varnel 1.0, card operating
// system ChipDoc 2.0), recognised by its exact ATR. It reads the card's files through the PKCS#15
// layout; its PIN directories are DF (reference & 0F).
class GC_CardControllerVarnel_1_0 : public GC_CardControllerVarnel {
public:
    // Makes the ChipDoc 2.0 command set and the PKCS#15 layout.
    GC_CardControllerVarnel_1_0(GC_Controller* controller, bool sharedMode);
    ~GC_CardControllerVarnel_1_0() override;

    // The ATR of this generation ("VARNEL_1_0").
    static const atr_table& atr();
    // A controller of this generation when the session's card has its ATR; null otherwise.
    static std::unique_ptr<GC_CardController> checkController(GC_Controller* controller, bool sharedMode);

    // Not on this card: -1100.
    int performChipAuthentication() override;
    // 69 99 (applet selection failed) counts as a selection: 0, no application recorded.
    int selectAID(const std::vector<uint8_t>& aid, bool force) override;
    // The old PIN is verified first unless the PIN is verified already; the change then sends old
    // and new PIN.
    int performChangePassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& oldPin,
                              const std::vector<uint8_t>& newPin) override;

protected:
    // DF (reference & 0F) selectable in the container's application; the PUK (94) is not tested.
    int isActive(std::shared_ptr<GC_Container>& container) override;
};
