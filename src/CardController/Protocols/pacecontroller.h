#pragma once

#include "Data/securevector.h"
#include "Protocols/securemessaging.h"

// Runs PACE with the card through the card session and leaves the secure-messaging keys in the
// card controller's pace_params.
class GC_PaceController {
public:
    // The secure channel of one card controller. The leading fields (Kmac, Kenc, SSC, algorithm)
    // are GC_SecureMessaging::sm_params, so the controller hands this very object to secure
    // messaging.
    struct pace_params : GC_SecureMessaging::sm_params {
        int domainParameterId = 0;           // 10-18, the standardised domain parameters
        int secretType = 0;                  // 1 MRZ, 2 CAN, 4 PUK
        SecureVector<unsigned char> secret;  // as accepted by the password check; kept for a restore
    };
};
