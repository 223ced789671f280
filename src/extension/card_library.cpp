#include "extension/card_driver.h"

#include "platform/system_log.h"

namespace {

// The card session and its Driver are not part of this build yet: no reader is served.
class UnavailableCardLibrary : public CardLibrary {
public:
    void addReaderBackEnd() override {}
    void refreshReaders() override {}
    std::shared_ptr<CardDriver> createDriver(const std::string& readerName, int& result) override {
        plat::systemLog("card library: no Driver for reader %s", readerName.c_str());
        result = -1101;
        return nullptr;
    }
};

}  // namespace

std::shared_ptr<CardLibrary> cardLibrary() {
    static const std::shared_ptr<CardLibrary> library = std::make_shared<UnavailableCardLibrary>();
    return library;
}
