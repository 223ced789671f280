#include "extension/card_driver.h"

#include "driver.h"
#include "factory.h"
#include "platform/system_log.h"

namespace {

// The card library's Driver behind the token's seam: each call goes to the Driver as it is.
class LibraryDriver : public CardDriver {
public:
    explicit LibraryDriver(const std::string& readerName)
        : driver_(readerName, GC_CardController::CARD_GENERIC, /*sharedMode=*/true, nullptr) {}

    // What making the card session answered (0 when the Driver can be used).
    long long creationResult() const { return driver_.getLastError(); }

    int performSecureConnection(std::vector<uint8_t> password, int type) override {
        return driver_.performSecureConnection(std::move(password), type);
    }
    int destroySecureConnection() override { return driver_.destroySecureConnection(); }
    int getContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) override {
        return driver_.getContainers(list, force);
    }
    int loadContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) override {
        return driver_.loadContainers(list, force);
    }
    int verifyPassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin, bool flag) override {
        return driver_.verifyPassword(std::move(container), std::move(pin), flag);
    }
    int logoutPassword(std::shared_ptr<GC_Container> container, bool flag) override {
        return driver_.logoutPassword(std::move(container), flag);
    }
    int signatureData(std::shared_ptr<GC_Container> container, GC_Object* key, std::vector<uint8_t> data,
                      signature_alghoritm algorithm, std::vector<uint8_t>& signature) override {
        return driver_.signatureData(std::move(container), key, std::move(data),
                                     static_cast<Driver::signature_alghoritm>(algorithm), signature);
    }

private:
    Driver driver_;
};

class Library : public CardLibrary {
public:
    void addReaderBackEnd() override { GC_Factory::addDriver(GC_Factory::READER_CTK); }
    void refreshReaders() override { GC_Factory::getReadersList(false); }
    std::shared_ptr<CardDriver> createDriver(const std::string& readerName, int& result) override {
        auto driver = std::make_shared<LibraryDriver>(readerName);
        result = static_cast<int>(driver->creationResult());
        if (result != 0) return nullptr;
        return driver;
    }
};

}  // namespace

std::shared_ptr<CardLibrary> cardLibrary() {
    static const std::shared_ptr<CardLibrary> library = std::make_shared<Library>();
    return library;
}
