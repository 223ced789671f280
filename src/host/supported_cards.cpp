#include "host/supported_cards.h"

#include "CardController/cardcontroller_varnel_1_0.h"
#include "CardController/cardcontroller_varnel_2_0.h"

namespace host {

bool isSupportedCard(const std::vector<unsigned char>& atr) {
    for (const auto* table : {&GC_CardControllerVarnel_1_0::atr(), &GC_CardControllerVarnel_2_0::atr()}) {
        for (const auto& [name, bytes] : *table) {
            if (bytes == atr) return true;
        }
    }
    return false;
}

}  // namespace host
