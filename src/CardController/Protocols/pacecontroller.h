#pragma once

#include <openssl/ec.h>

#include <functional>

#include "Data/securevector.h"
#include "Protocols/securemessaging.h"

class GC_Controller;

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

    // The terminal's private scalars of one run (GC_Pace::scalar_source); empty: OpenSSL's RNG.
    using scalar_source = std::function<bool(const EC_GROUP* group, BIGNUM* scalar)>;

    // Result codes.
    static constexpr int kOk = 0;
    static constexpr int kFailed = -1;       // a protocol step or a card command failed
    static constexpr int kBadArgument = -2;  // no session or parameters, or an unacceptable password

    // The whole run: password check, EF.CardAccess, MSE:Set AT and the four chained General
    // Authenticate commands. `type` 1 takes the MRZ text (90, 88 or 72 characters) or, as a
    // restore hands it back, the 20-byte MRZ hash kept from an earlier run; 2 a CAN, 4 a PUK.
    // Expects no secure channel in the session: every command goes out as it is. On success
    // params holds the session keys and a zero send sequence counter.
    static int performPACE(GC_Controller* controller, const SecureVector<unsigned char>& secret, const int type,
                           pace_params* params);
    // The same with the terminal's scalars from `source` (published examples replay byte for byte).
    static int performPACE(GC_Controller* controller, const SecureVector<unsigned char>& secret, const int type,
                           pace_params* params, scalar_source source);
    // Closes the session's channel and opens it again with the password kept in params.
    static int restorePACE(GC_Controller* controller, pace_params* params);
};
