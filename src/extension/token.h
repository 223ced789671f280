#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "extension/card_driver.h"
#include "platform/ctk_token.h"

class GC_Container;
class GC_PrivKeyObject;
class KeychainItemsBuilder;
class TokenDriver;

// One inserted card. Made without touching the card; when the companion application sends the
// card's CAN, the token makes its Driver, opens the secure channel with PACE, reads the card's
// containers and publishes them as keychain items. It resolves the object identifiers the
// platform hands back to the container and private key on the card, and keeps the state of the
// PIN: a PIN verified for one container of this token allows one signature with that
// container's key.
class Token : public ctk::SmartCardToken {
public:
    // The card work of the token, one at a time: the CAN check, a PIN verification, a signature
    // with its logout. Holding it gives the driver and the PIN state.
    class CardLock {
    public:
        explicit CardLock(Token& token) : token_(token), lock_(token.cardMutex_) {}

        // The token's Driver; null before the first successful CAN check.
        const std::shared_ptr<CardDriver>& driver() const { return token_.driver_; }
        // The container whose PIN is verified for one signature; null while a PIN is needed.
        const std::shared_ptr<GC_Container>& verifiedContainer() const { return token_.verified_; }
        void setVerified(std::shared_ptr<GC_Container> container) { token_.verified_ = std::move(container); }
        // Withdraws a verified PIN: the PIN is needed again, and the card logs it out.
        void logout();

    private:
        Token& token_;
        std::unique_lock<std::mutex> lock_;
    };

    Token(std::shared_ptr<ctk::SmartCard> smartCard, TokenDriver* tokenDriver, std::shared_ptr<CardLibrary> library);
    ~Token() override;

    const std::string& reader() const { return reader_; }

    // Opens the card with the CAN and publishes its items: "SUCCESS" or the failing library code
    // in decimal. The CAN must be exactly six digits; the caller wipes it.
    std::string checkCan(const std::vector<unsigned char>& can);

    CardLock lockCard() { return CardLock(*this); }

    // The container of the last read at `index`; null when there is none.
    std::shared_ptr<GC_Container> getContainer(int index) const;
    // The container and private key of a key item's object identifier; null (and a null key)
    // when no container of the last read holds that key.
    std::shared_ptr<GC_Container> findContainerByPrivKey(const ctk::ObjectID& objectID, GC_PrivKeyObject** key) const;
    size_t containerCount() const;

    std::shared_ptr<ctk::TokenSession> createSession(std::optional<ctk::Error>* error) override;

private:
    // The CAN check under the card lock: 0 or a library code.
    long openAndRead(CardLock& card, const std::vector<unsigned char>& can);
    // Reads the containers and turns them into items: 0 or the failing code (-1 without driver).
    long readAll(CardDriver* driver, KeychainItemsBuilder& items);
    void addItemsToKeychain(std::vector<std::shared_ptr<ctk::KeychainItem>> items);

    const std::string reader_;
    const std::shared_ptr<CardLibrary> library_;

    // Guards the card work and, with it, driver_ and verified_.
    std::mutex cardMutex_;
    std::shared_ptr<CardDriver> driver_;
    std::shared_ptr<GC_Container> verified_;

    // The containers of the last read, handed out while a re-read may replace them.
    mutable std::mutex containersMutex_;
    std::vector<std::shared_ptr<GC_Container>> containers_;
};
