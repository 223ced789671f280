#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "extension/card_driver.h"
#include "platform/ctk_token.h"
#include "platform/notification_center.h"

class Token;

// The extension's principal class: the platform makes one and calls it for every card the
// extension serves; it makes one Token per card and keeps it under the card's reader name. It is
// also the extension's end of the companion channel: from the first token request on it observes
// the notification "Ctk", answers version queries and runs the CAN check that opens the card and
// publishes its keychain items.
class TokenDriver : public ctk::SmartCardTokenDriver {
public:
    // A message to the companion application: text keys and values.
    using Message = std::vector<std::pair<std::string, std::string>>;

    // The extension's version text, as the version reply carries it.
    static constexpr const char* kVersion = "4.2.3.0";
    static constexpr const char* kBuildTime = "12:15:49";

    explicit TokenDriver(std::shared_ptr<CardLibrary> library = cardLibrary());
    ~TokenDriver() override;

    // The platform's token request for an inserted card: a new Token, null for a card that is
    // gone or has no slot (the error is then left alone).
    std::shared_ptr<ctk::SmartCardToken> createTokenForSmartCard(std::shared_ptr<ctk::SmartCard> smartCard,
                                                                 const std::optional<ctk::Bytes>& AID,
                                                                 std::optional<ctk::Error>* error) override;

    // Posts `data` with "to" = recipient and "from" = "Ctk" on the default notification centre,
    // under the name of the recipient's first "/"-separated part. Nothing for an empty recipient.
    static void send(const std::string& recipient, Message data);

    const std::string& version() const { return version_; }
    size_t tokenCount() const;

private:
    // The one-time set-up of the first token request.
    void myInit();
    // Observer of "Ctk".
    void received(const plat::Notification& notification);
    // The CAN check of one request, on a background queue; `can` is wiped by its owner.
    void checkCan(const std::string& from, const std::string& reader, const std::vector<unsigned char>& can);
    std::shared_ptr<Token> findToken(const std::string& reader) const;

    const std::shared_ptr<CardLibrary> library_;
    std::once_flag initOnce_;
    std::string version_;
    std::shared_ptr<plat::NotificationCenter> center_;
    plat::NotificationCenter::ObserverId observer_ = 0;

    mutable std::mutex tokensMutex_;
    // Reader name -> its token; an entry is replaced by a new card in the same reader.
    std::map<std::string, std::shared_ptr<Token>> tokens_;
};
