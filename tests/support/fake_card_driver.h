#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Data/datapkcs15.h"
#include "extension/card_driver.h"
#include "support/fake_controller.h"

namespace gctest {

// The card library as the token extension sees it, without a card: the containers of the
// second-generation simulated card, read by the PKCS#15 layout from the card's personalisation
// files (tests/data/cardsim), the card's PINs (three tries each, PINs verified until logged out)
// and real signatures made with the fixture private keys. PACE takes the card's CAN only. Every
// call is written down, and the next call of an operation can be made to fail.
class FakeCardDriver : public CardDriver {
public:
    enum class Op { Perform, Destroy, GetContainers, LoadContainers, Verify, Logout, Sign };

    static constexpr const char* kCan = "123456";

    FakeCardDriver();

    int performSecureConnection(std::vector<uint8_t> password, int type) override;
    int destroySecureConnection() override;
    int getContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) override;
    int loadContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) override;
    int verifyPassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin, bool flag) override;
    int logoutPassword(std::shared_ptr<GC_Container> container, bool flag) override;
    int signatureData(std::shared_ptr<GC_Container> container, GC_Object* key, std::vector<uint8_t> data,
                      signature_alghoritm algorithm, std::vector<uint8_t>& signature) override;

    // The next call of `op` answers `code` and does nothing else.
    void failNext(Op op, int code);
    // Calls so far, one line each: "perform", "destroy", "getContainers", "loadContainers",
    // "verify <container label>", "logout <container label>", "sign <algorithm> <container label>".
    std::vector<std::string> calls();
    void clearCalls();
    // Tries left of the PIN with that reference.
    int triesLeft(uint8_t pinReference);
    // The card's files, to spoil one before the containers are read.
    FakeController& files() { return files_; }

private:
    // A call written down; true when it is to fail with `code`.
    bool record(Op op, const std::string& line, int& code);

    std::mutex mutex_;
    FakeController files_;
    GC_DataPKCS15 layout_{&files_};
    std::vector<std::string> calls_;
    std::map<Op, int> failures_;
    std::map<uint8_t, int> triesLeft_;
    std::set<const GC_Container*> verified_;
    bool channelOpen_ = false;
};

// Hands out one FakeCardDriver for every reader; making a driver can be made to fail.
class FakeCardLibrary : public CardLibrary {
public:
    void addReaderBackEnd() override;
    void refreshReaders() override;
    std::shared_ptr<CardDriver> createDriver(const std::string& readerName, int& result) override;

    // The next driver request answers `code` and makes nothing.
    void failNextCreate(int code);

    std::shared_ptr<FakeCardDriver> driver() const { return driver_; }
    int backEndsAdded();
    int refreshes();
    int driversMade();

private:
    std::mutex mutex_;
    std::shared_ptr<FakeCardDriver> driver_ = std::make_shared<FakeCardDriver>();
    int backEndsAdded_ = 0;
    int refreshes_ = 0;
    int driversMade_ = 0;
    int failCreate_ = 0;
};

}  // namespace gctest
