#pragma once

#include <memory>

#include "CardController/Protocols/pacecontroller.h"
#include "CardController/cardcontroller.h"

// The controller of the second generation of the identity card (Varnel 2.0, card operating
// system ChipDoc 3.0), recognised by its exact ATR. It keeps the PACE and secure-messaging state of
// the card session and reads the card's files through the PKCS#15 layout.
class GC_CardControllerVarnel_2_0 : public GC_CardController {
public:
    // Makes the ChipDoc 3.0 command set and the PKCS#15 layout, and reads the serial number (a failure
    // there is logged; the controller is made with an empty serial number).
    GC_CardControllerVarnel_2_0(GC_Controller* controller, bool sharedMode);
    ~GC_CardControllerVarnel_2_0() override;

    // The ATR of this generation ("VARNEL_2_0").
    static const atr_table& atr();
    // A controller of this generation when the session's card has its ATR; null otherwise.
    static std::unique_ptr<GC_CardController> checkController(GC_Controller* controller, bool sharedMode);

protected:
    // Session keys, counter and algorithm of the secure channel, and the PACE secret kept for a
    // restore; all empty until PACE runs.
    GC_PaceController::pace_params paceParams;
};
