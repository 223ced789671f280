// EF.CardAccess from a hostile card: the protocol and domain-parameter scan.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Protocols/pacev2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GC_Pace pace;
    GC_PaceController::pace_params params;
    const int rc = pace.selectPaceParams(&params, std::vector<unsigned char>(data, data + size));
    if (rc == 0) {
        // A success names a known PACE protocol and a standardised curve.
        if (params.algorithm < 1 || params.algorithm > 4) __builtin_trap();
        if (params.domainParameterId < 10 || params.domainParameterId > 18) __builtin_trap();
        if (pace.selectedOid().size() != 10) __builtin_trap();
        std::vector<unsigned char> mse;
        if (pace.mseSet(&params, mse) != 0 || mse.size() != 18) __builtin_trap();
    }
    return 0;
}
