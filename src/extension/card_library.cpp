#include "extension/card_driver.h"

#include "factory.h"
#include "platform/system_log.h"

namespace {

// The card library of this build: the registry is there, the card session's Driver is not yet,
// so no reader is served.
class RegistryCardLibrary : public CardLibrary {
public:
    void addReaderBackEnd() override { GC_Factory::addDriver(GC_Factory::READER_CTK); }
    void refreshReaders() override { GC_Factory::getReadersList(false); }
    std::shared_ptr<CardDriver> createDriver(const std::string& readerName, int& result) override {
        plat::systemLog("card library: no Driver for reader %s", readerName.c_str());
        result = -1101;
        return nullptr;
    }
};

}  // namespace

std::shared_ptr<CardLibrary> cardLibrary() {
    static const std::shared_ptr<CardLibrary> library = std::make_shared<RegistryCardLibrary>();
    return library;
}
