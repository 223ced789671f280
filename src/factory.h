#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CardController/cardcontroller.h"

class GC_Controller;
class GC_Reader;

// The process-wide registry of the card library: the registered reader back-ends, one reader
// object per reader name for the life of the process, the choice of card controller by ATR, and
// the ATRs of the supported cards. All operations are static and may be called from any thread.
class GC_Factory {
public:
    // Reader back-ends; bit values, so that a mask can name several.
    enum reader_kind : int {
        READER_PCSC = 1,
        READER_CTK = 4,
    };

    GC_Factory() = delete;

    // Registers the back-ends named by the mask that are not registered yet: 0 when at least one
    // was, else -1100 ("Driver not supported"). A registered back-end is never replaced.
    static int addDriver(int mask);
    // Forgets the registered back-ends; reader objects stay.
    static void clearDriver();
    // The reader names of every registered back-end (kinds in ascending order), each in its
    // back-end's order; with supportedOnly only readers holding a supported card. A name seen for
    // the first time gets its reader object. Duplicates across back-ends stay in the list.
    static std::vector<std::string> getReadersList(bool supportedOnly);
    // The reader object of a listed name (owned by the registry, never removed); null when the
    // name was never listed.
    static GC_Reader* createReader(const std::string& name);
    // The card controller for the session's card: kinds 2 and 8 force that generation; any other
    // tries Varnel 1.0, then Varnel 2.0, then the generic controller, and writes back the kind
    // chosen. Null (kind unchanged) when nothing fits.
    static std::unique_ptr<GC_CardController> createCardController(GC_Controller* controller,
                                                                   GC_CardController::card_controller& kind,
                                                                   bool sharedMode);
    // A new map on every call: exact ATR of each supported card generation -> its name.
    // Matching is by exact byte equality; the first name of an ATR wins.
    static std::map<std::vector<unsigned char>, std::string> getCardsATRs();
};
