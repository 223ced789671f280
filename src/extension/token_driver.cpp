#include "extension/token_driver.h"

#include "Data/wipe.h"
#include "extension/token.h"
#include "platform/ctk_smartcard.h"
#include "platform/dispatch.h"
#include "platform/json.h"
#include "platform/printable.h"
#include "platform/system_log.h"

namespace {

constexpr const char* kCompanionName = "Ctk";

// The entry of a key, or null when the key is absent. Its value is none unless it is a string.
std::optional<std::string>* entryOf(plat::json::TextEntries& entries, const std::string& key) {
    for (auto& [name, value] : entries) {
        if (name == key) return &value;
    }
    return nullptr;
}

std::optional<std::string> stringValue(plat::json::TextEntries& entries, const std::string& key) {
    const std::optional<std::string>* value = entryOf(entries, key);
    return value != nullptr ? *value : std::nullopt;
}

}  // namespace

TokenDriver::TokenDriver(std::shared_ptr<CardLibrary> library)
    : library_(std::move(library)), version_(std::string(kVersion) + " " + kBuildTime) {}

TokenDriver::~TokenDriver() {
    if (center_ && observer_ != 0) center_->removeObserver(observer_);
    plat::systemLog("TokenDriver:dealloc");
}

void TokenDriver::myInit() {
    plat::systemLog("v%s", version_.c_str());

    plat::systemLog("myInit | Create message center");
    center_ = plat::NotificationCenter::defaultCenter();
    if (center_) {
        std::weak_ptr<ctk::TokenDriver> self = weak_from_this();
        observer_ = center_->addObserver(kCompanionName, [self](const plat::Notification& notification) {
            if (auto driver = std::static_pointer_cast<TokenDriver>(self.lock())) driver->received(notification);
        });
    }
    if (observer_ == 0) plat::systemLog("myInit | no message center: companion messages are not received");

    plat::systemLog("myInit | GC_Factory add Ctk driver");
    library_->addReaderBackEnd();
    plat::systemLog("myInit | completed");
}

std::shared_ptr<ctk::SmartCardToken> TokenDriver::createTokenForSmartCard(std::shared_ptr<ctk::SmartCard> smartCard,
                                                                          const std::optional<ctk::Bytes>&,
                                                                          std::optional<ctk::Error>*) {
    std::call_once(initOnce_, [this] { myInit(); });

    const char* problem = nullptr;
    if (!smartCard) {
        problem = "smartcard slot is nil";
    } else if (!smartCard->valid()) {
        problem = "smartcard is not valid";
    } else if (!smartCard->slot()) {
        problem = "smartcard slot is nil";
    }
    if (problem != nullptr) {
        plat::systemLog("createTokenForSmartCard | error: %s", problem);
        return nullptr;
    }

    plat::systemLog("createTokenForSmartCard | Create token for reader:%s", smartCard->slot()->name().c_str());
    auto token = std::make_shared<Token>(smartCard, this, library_);
    plat::systemLog("createTokenForSmartCard | Token=%s", token->instanceID().c_str());
    size_t count = 0;
    {
        std::lock_guard lock(tokensMutex_);
        tokens_[token->reader()] = token;
        count = tokens_.size();
    }
    plat::systemLog("Driver:createTokenForSmartCard | completed, tokens=%zu", count);
    return token;
}

void TokenDriver::received(const plat::Notification& notification) {
    if (!notification.object) return;
    std::optional<plat::json::TextEntries> request = plat::json::parseObjectTexts(*notification.object);
    if (!request) return;
    const std::string from = stringValue(*request, "from").value_or("");

    if (entryOf(*request, "getVersion") != nullptr) {
        plat::systemLog("recv | getVersion");
        send(from, {{"Version", version_}, {"tokens", std::to_string(tokenCount())}});
    }

    std::optional<std::string>* can = entryOf(*request, "checkCan");
    if (can != nullptr && can->has_value()) {
        plat::systemLog("recv | checkCan");
        // Any sender may ask for a CAN check, as on the platform.
        plat::systemLog("recv | checkCan from %s", plat::printable(notification.sender).c_str());
        std::string& text = **can;
        auto secret =
            std::make_shared<GC_WipedBuffer>(reinterpret_cast<const unsigned char*>(text.data()), text.size());
        gc_wipe(text);
        const std::string reader = stringValue(*request, "rid").value_or("");
        auto self = std::static_pointer_cast<TokenDriver>(shared_from_this());
        plat::Dispatch::async(plat::Dispatch::Priority::Background,
                              [self, from, reader, secret] { self->checkCan(from, reader, secret->v); });
    }
}

void TokenDriver::checkCan(const std::string& from, const std::string& reader, const std::vector<unsigned char>& can) {
    plat::systemLog("Driver:checkCan | GC_Factory::getReadersList()");
    library_->refreshReaders();
    plat::systemLog("Driver:checkCan | Find token");
    std::shared_ptr<Token> token = findToken(reader);
    plat::systemLog("Driver:checkCan | token = %s", token ? token->instanceID().c_str() : "(null)");
    const std::string result = token ? token->checkCan(can) : "Token not found";
    send(from, {{"canResult", result}, {"rid", reader}});
    plat::systemLog("Driver:checkCan | completed");
}

void TokenDriver::send(const std::string& recipient, Message data) {
    if (recipient.empty()) {
        plat::systemLog("send error, empty receipment");
        return;
    }
    data.emplace_back("to", recipient);
    data.emplace_back("from", kCompanionName);
    // The address is the requester's text: a newline in it would forge log lines.
    const std::string shown = plat::printable(recipient);
    plat::systemLog("send | data:<hidden> to:%s", shown.c_str());
    const std::vector<plat::json::TextMember> members(data.begin(), data.end());
    const std::optional<std::string> text = plat::json::writeObjectTexts(members);
    const std::shared_ptr<plat::NotificationCenter> center = plat::NotificationCenter::defaultCenter();
    if (!text || !center) {
        plat::systemLog("send error, message to %s not sent", shown.c_str());
        return;
    }
    const std::string name = recipient.substr(0, recipient.find('/'));
    if (!center->postNotification(name, text)) plat::systemLog("send error, message to %s not sent", shown.c_str());
}

size_t TokenDriver::tokenCount() const {
    std::lock_guard lock(tokensMutex_);
    return tokens_.size();
}

std::shared_ptr<Token> TokenDriver::findToken(const std::string& reader) const {
    std::lock_guard lock(tokensMutex_);
    const auto entry = tokens_.find(reader);
    return entry != tokens_.end() ? entry->second : nullptr;
}
