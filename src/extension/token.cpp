#include "extension/token.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/wipe.h"
#include "extension/keychain_items.h"
#include "extension/token_driver.h"
#include "extension/token_session.h"
#include "extension/utils.h"
#include "platform/ctk_smartcard.h"
#include "platform/system_log.h"

namespace {

// Sessions made by all tokens of the process.
std::atomic<int> g_sessCounter{0};

constexpr size_t kCanLength = 6;

std::string slotName(const std::shared_ptr<ctk::SmartCard>& card) {
    std::shared_ptr<ctk::Slot> slot = card ? card->slot() : nullptr;
    return slot ? slot->name() : std::string();
}

bool isCan(const std::vector<unsigned char>& can) {
    return can.size() == kCanLength &&
           std::all_of(can.begin(), can.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

const char* displayName(const std::shared_ptr<GC_Container>& container) {
    return container ? container->label.c_str() : "";
}

}  // namespace

void Token::CardLock::logout() {
    const std::shared_ptr<GC_Container> container = std::exchange(token_.verified_, nullptr);
    if (!container || !token_.driver_) return;
    plat::systemLog("cardLogout | container=%s", displayName(container));
    if (token_.driver_->logoutPassword(container, false) != 0) plat::systemLog("cardLogout failed");
}

Token::Token(std::shared_ptr<ctk::SmartCard> smartCard, TokenDriver* tokenDriver, std::shared_ptr<CardLibrary> library)
    : ctk::SmartCardToken(smartCard, std::nullopt, Utils::getInstanceId(smartCard), tokenDriver),
      reader_(slotName(smartCard)),
      library_(std::move(library)) {
    plat::systemLog("Token:initWithSmartCard | completed");
}

Token::~Token() {
    plat::systemLog("Token:dealloc");
}

std::string Token::checkCan(const std::vector<unsigned char>& can) {
    plat::systemLog("Token:checkCan | reader: %s", reader_.c_str());
    CardLock card = lockCard();
    const long result = openAndRead(card, can);
    std::string answer = result == 0 ? "SUCCESS" : std::to_string(result);
    plat::systemLog("Token:checkCan | completed, res=%s", answer.c_str());
    return answer;
}

long Token::openAndRead(CardLock& card, const std::vector<unsigned char>& can) {
    if (!isCan(can)) {
        plat::systemLog("Token:checkCan | the CAN is not %zu digits", kCanLength);
        return card_result::kBadParameter;
    }
    // A PIN still verified from before goes with the channel it was verified in.
    card.logout();

    if (!driver_) {
        plat::systemLog("checkCan | Create driver");
        int created = 0;
        std::shared_ptr<CardDriver> driver = library_->createDriver(reader_, created);
        if (!driver) {
            // Not kept: the next CAN check tries again.
            plat::systemLog("Token:checkCan | Driver is null in check can");
            return created != 0 ? created : -1;
        }
        driver_ = std::move(driver);
    }

    const int destroyed = driver_->destroySecureConnection();
    if (destroyed != 0) plat::systemLog("Token:checkCan | destroySecureConnection() error: %d", destroyed);

    plat::systemLog("Token:checkCan | performSecureConnection()");
    GC_WipedBuffer password(can.data(), can.size());
    const int opened = driver_->performSecureConnection(std::move(password.v), CardDriver::kPasswordCan);
    if (opened != 0) {
        plat::systemLog("Token:checkCan | performSecureConnection() error: %d", opened);
        return opened;
    }

    TokenDriver::send("Can", {{"canProgress", "Trwa odczyt danych z karty ..."}});
    KeychainItemsBuilder items;
    const long result = readAll(driver_.get(), items);
    addItemsToKeychain(std::move(items.items()));
    return result;
}

long Token::readAll(CardDriver* driver, KeychainItemsBuilder& items) {
    plat::systemLog("TokenReader | readAll");
    if (driver == nullptr) {
        plat::systemLog("readAll | driver is null");
        return -1;
    }
    plat::systemLog("TokenReader | getContainers");
    std::vector<std::shared_ptr<GC_Container>> list;
    const int result = driver->getContainers(list, true);
    if (result != 0) {
        plat::systemLog("readAll | getContainers error %i", result);
        return result;
    }
    const int loaded = driver->loadContainers(list, false);
    plat::systemLog("readAll | loadContainers()");
    {
        std::lock_guard lock(containersMutex_);
        containers_ = list;
    }
    // What did load is offered all the same; the card or channel failure is the answer.
    for (size_t index = 0; index < list.size(); ++index) items.readContainer(list, static_cast<int>(index));
    if (loaded != 0) plat::systemLog("readAll | loadContainers error %i", loaded);
    return loaded;
}

void Token::addItemsToKeychain(std::vector<std::shared_ptr<ctk::KeychainItem>> items) {
    if (items.empty()) {
        plat::systemLog("Token:addItemsToKeychain | no items!");
        return;
    }
    plat::systemLog("Token:addItemsToKeychain | items=%zu", items.size());
    keychainContents().fillWithItems(std::move(items));
    plat::systemLog("Token:addItemsToKeychain | fin");
}

std::shared_ptr<GC_Container> Token::getContainer(int index) const {
    plat::systemLog("TokenAuthOperation: GetContainer");
    std::lock_guard lock(containersMutex_);
    if (index < 0 || static_cast<size_t>(index) >= containers_.size()) {
        plat::systemLog("TokenAuthOperation: Container not exist");
        return nullptr;
    }
    if (!containers_[index]) {
        plat::systemLog("TokenAuthOperation: Container is nil why? %d/%zu", index, containers_.size());
        return nullptr;
    }
    return containers_[index];
}

std::shared_ptr<GC_Container> Token::findContainerByPrivKey(const ctk::ObjectID& objectID,
                                                            GC_PrivKeyObject** key) const {
    *key = nullptr;
    const std::vector<unsigned char> cardId = Utils::guidRemoveSuffix(objectID);
    std::lock_guard lock(containersMutex_);
    for (const std::shared_ptr<GC_Container>& container : containers_) {
        if (!container) continue;
        if (GC_Object* found = container->getPrivateKeyByGUID(cardId)) {
            *key = static_cast<GC_PrivKeyObject*>(found);
            return container;
        }
    }
    return nullptr;
}

size_t Token::containerCount() const {
    std::lock_guard lock(containersMutex_);
    return containers_.size();
}

std::shared_ptr<ctk::TokenSession> Token::createSession(std::optional<ctk::Error>*) {
    const int sessId = ++g_sessCounter;
    plat::systemLog("Token:createSessionWithError sessId=%d", sessId);
    return std::make_shared<TokenSession>(std::static_pointer_cast<Token>(shared_from_this()), sessId);
}
