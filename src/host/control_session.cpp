#include "host/control_session.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "host/control_protocol.h"
#include "host/hex.h"
#include "host/key_algorithm_names.h"
#include "platform/base64.h"
#include "platform/system_log.h"

namespace host {

namespace {

using nlohmann::json;

constexpr long long kDefaultWaitMs = 30'000;
constexpr long long kLongestWaitMs = 600'000;
constexpr auto kWaitSlice = std::chrono::milliseconds(200);

// Card, slot and certificate texts are not ours to trust: text that is not UTF-8 is replaced
// rather than refused.
std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

const char* operationName(ctk::TokenOperation operation) {
    switch (operation) {
        case ctk::TokenOperation::SignData:
            return "sign";
        case ctk::TokenOperation::DecryptData:
            return "decrypt";
        case ctk::TokenOperation::PerformKeyExchange:
            return "keyExchange";
        case ctk::TokenOperation::ReadData:
            return "read";
        default:
            return "none";
    }
}

json constraintsOf(const ctk::KeychainItem& item) {
    json out = json::object();
    for (const auto& [operation, constraint] : item.constraints()) {
        if (const auto* bytes = std::get_if<ctk::Bytes>(&constraint))
            out[operationName(operation)] = toHex(*bytes);
        else
            out[operationName(operation)] = std::get<bool>(constraint);
    }
    return out;
}

json itemOf(const ctk::KeychainItem& item, const std::vector<std::shared_ptr<ctk::KeychainItem>>& all) {
    json out{{"objectID", toHex(item.objectID())}, {"label", item.label().value_or("")}};
    if (const auto* certificate = dynamic_cast<const ctk::KeychainCertificate*>(&item)) {
        out["kind"] = "certificate";
        out["certificate"] = plat::base64::encode(certificate->data());
        return out;
    }
    const auto* key = dynamic_cast<const ctk::KeychainKey*>(&item);
    if (key == nullptr) {
        out["kind"] = "other";
        return out;
    }
    out["kind"] = "key";
    out["keyType"] = key->keyType() == sec::KeyType::RSA ? "RSA" : key->keyType() == sec::KeyType::EC ? "EC" : "other";
    out["keySize"] = key->keySizeInBits();
    out["canSign"] = key->canSign();
    out["canDecrypt"] = key->canDecrypt();
    out["canPerformKeyExchange"] = key->canPerformKeyExchange();
    out["suitableForLogin"] = key->isSuitableForLogin();
    out["constraints"] = constraintsOf(item);
    // The certificate item that describes the key: the same certificate.
    for (const auto& other : all) {
        const auto* certificate = dynamic_cast<const ctk::KeychainCertificate*>(other.get());
        if (certificate != nullptr && certificate->data() == key->certificate()->data()) {
            out["certificateID"] = toHex(certificate->objectID());
            break;
        }
    }
    return out;
}

json tokenOf(const HostedToken& hosted) {
    json items = json::array();
    const std::vector<std::shared_ptr<ctk::KeychainItem>> all = hosted.token->keychainContents().items();
    for (const auto& item : all) items.push_back(itemOf(*item, all));
    return json{{"reader", hosted.reader}, {"instanceID", hosted.token->instanceID()}, {"items", items}};
}

// What a failed signature tells the user.
std::string describe(const std::optional<ctk::Error>& error, const std::string& keyHex) {
    if (!error) return "signing failed";
    switch (error->code) {
        case ctk::error::kAuthenticationFailed:
            return "authentication failed" + (error->text.empty() ? "" : ": " + error->text);
        case ctk::error::kCanceledByUser:
            return "PIN entry cancelled";
        case ctk::error::kObjectNotFound:
            return "unknown key ID " + keyHex;
        case ctk::error::kAuthenticationNeeded:
            return "authentication needed";
        case ctk::error::kCommunicationError:
            return "card communication failed" + (error->text.empty() ? "" : ": " + error->text);
        case ctk::error::kTokenNotFound:
            return "the token is gone" + (error->text.empty() ? "" : ": " + error->text);
        default:
            return error->text.empty() ? "signing failed (error " + std::to_string(error->code) + ")" : error->text;
    }
}

// A duration in seconds as the user reads it: "30", "0.5".
std::string secondsText(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", std::chrono::duration<double>(duration).count());
    return text;
}

// Whether the client hung up (checked while a request waits on the host).
bool peerHungUp(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

void ControlSession::run() {
    for (;;) {
        // Empty lines are no request: they do not put the limit off.
        const auto deadline = std::chrono::steady_clock::now() + idleLimit_;
        std::string_view line;
        LineChannel::Read read;
        do {
            read = channel_.readLine(line, deadline);
        } while (read == LineChannel::Read::Line && line.find_first_not_of(" \t") == std::string_view::npos);
        if (read == LineChannel::Read::TooLong) {
            answerError("request line longer than " + std::to_string(LineChannel::kMaxRequestLine) + " bytes");
            return;
        }
        if (read == LineChannel::Read::TimedOut) {
            answerError("no request within " + secondsText(idleLimit_) + " s");
            return;
        }
        if (read != LineChannel::Read::Line) return;
        std::string error;
        const std::optional<RequestFields> request = RequestFields::parse(line, &error);
        bool goOn;
        if (!request)
            goOn = answerError("not a request: " + error);
        else if (!request->kindsFit(protocol::kFieldKinds, &error))
            goOn = answerError(error);
        else
            goOn = handle(*request);
        if (!goOn) return;
    }
}

bool ControlSession::handle(const RequestFields& request) {
    const std::optional<std::string_view> op = request.text("op");
    if (!op) return answerError("a request names its \"op\"");
    if (*op == protocol::kOpList) return list(request);
    if (*op == protocol::kOpWaitToken) return waitToken(request);
    if (*op == protocol::kOpSign) return sign(request);
    if (*op == protocol::kOpPin || *op == protocol::kOpCancel) return answerError("no PIN was asked for");
    return answerError("unknown op \"" + std::string(*op) + "\"");
}

bool ControlSession::list(const RequestFields& request) {
    json tokens = json::array();
    if (const std::optional<std::string_view> reader = request.text("reader")) {
        const std::optional<HostedToken> hosted = registry_.find(std::string(*reader));
        if (!hosted) return answerError("no token for reader \"" + std::string(*reader) + "\"");
        tokens.push_back(tokenOf(*hosted));
    } else {
        for (const HostedToken& hosted : registry_.all()) tokens.push_back(tokenOf(hosted));
    }
    return answer(dump(json{{"ok", true}, {"tokens", tokens}}));
}

bool ControlSession::waitToken(const RequestFields& request) {
    const std::string reader(request.text("reader").value_or(""));
    const RequestFields::Value* gone = request.find("gone");
    const RequestFields::Value* timeout = request.find("timeoutMs");
    const bool untilGone = gone != nullptr && gone->boolean;
    long long waitMs = kDefaultWaitMs;
    if (timeout != nullptr) {
        if (timeout->integer < 0) return answerError("\"timeoutMs\" is a number of milliseconds");
        waitMs = std::min(timeout->integer, kLongestWaitMs);
    }
    if (untilGone && reader.empty()) return answerError("waiting for a token to go needs its \"reader\"");

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    // In slices, so that a client that hangs up does not keep the host waiting for it.
    for (;;) {
        const auto sliceEnd = std::min(deadline, std::chrono::steady_clock::now() + kWaitSlice);
        if (untilGone) {
            if (registry_.waitUntilGone(reader, sliceEnd)) return answer(dump(json{{"ok", true}, {"reader", reader}}));
        } else if (const std::optional<HostedToken> hosted = registry_.waitForToken(reader, sliceEnd)) {
            return answer(dump(json{{"ok", true},
                                    {"reader", hosted->reader},
                                    {"instanceID", hosted->token ? hosted->token->instanceID() : ""}}));
        }
        if (registry_.closed()) return answerError("the host is stopping");
        if (peerHungUp(channel_.fd())) return false;
        if (std::chrono::steady_clock::now() >= deadline) break;
    }
    const std::string which = reader.empty() ? "" : " of reader \"" + reader + "\"";
    return answerError((untilGone ? "the token" + which + " is still there after " : "no token" + which + " within ") +
                       std::to_string(waitMs) + " ms");
}

bool ControlSession::sign(const RequestFields& request) {
    const std::optional<std::string_view> reader = request.text("reader");
    const std::optional<std::string_view> key = request.text("key");
    const std::optional<std::string_view> alg = request.text("alg");
    const std::optional<std::string_view> data = request.text("data");
    if (!reader || !key || !alg || !data)
        return answerError("a signature needs \"reader\", \"key\", \"alg\" and \"data\"");

    const std::optional<HostedToken> hosted = registry_.find(std::string(*reader));
    if (!hosted) return answerError("no token for reader \"" + std::string(*reader) + "\"");
    const std::optional<std::vector<unsigned char>> keyID = fromHex(*key);
    if (!keyID) return answerError("the key ID is not hexadecimal: \"" + std::string(*key) + "\"");
    const std::string keyHex = toHex(*keyID);
    const NamedKeyAlgorithm* algorithm = findKeyAlgorithm(*alg);
    if (algorithm == nullptr) return answerError("unknown algorithm \"" + std::string(*alg) + "\"");
    std::vector<unsigned char> bytes;
    if (!plat::base64::decode(*data, bytes)) return answerError("the data is not base64");

    Signer& entry = signers_[hosted->reader];
    if (entry.token != hosted->token) {
        // A new card in the reader: a new application session on its token.
        entry.token = hosted->token;
        entry.signer = std::make_unique<ctk::TokenSigner>(hosted->token);
    }
    std::shared_ptr<ctk::KeychainKey> keyItem = hosted->token->keychainContents().keyForObjectID(*keyID, nullptr);
    const std::string label = keyItem ? keyItem->label().value_or("") : "";

    plat::systemLog("host | sign with key %s of %s (%s)", keyHex.c_str(), hosted->reader.c_str(), algorithm->name);
    clientGone_ = false;
    protocolError_.clear();
    const ctk::SignOutcome outcome =
        entry.signer->sign(*keyID, algorithm->algorithm, bytes, [&](ctk::TokenSmartCardPINAuthOperation& operation) {
            return askPin(hosted->reader, keyHex, label, operation);
        });
    // A host that stops ends the reading side: the client is still there to be told.
    if (clientGone_ && !registry_.closed()) {
        plat::systemLog("host | the client left during the signature");
        return false;
    }
    if (!protocolError_.empty()) return answerError(protocolError_);
    if (!outcome.signature)
        return answerError(describe(outcome.error, keyHex), outcome.error ? outcome.error->code : 0);
    return answer(dump(json{
        {"ok", true}, {"signature", plat::base64::encode(*outcome.signature)}, {"pinPrompts", outcome.pinPrompts}}));
}

bool ControlSession::askPin(const std::string& reader, const std::string& keyHex, const std::string& label,
                            ctk::TokenSmartCardPINAuthOperation& operation) {
    if (!answer(dump(json{{"pin", "needed"}, {"reader", reader}, {"key", keyHex}, {"label", label}})))
        return !(clientGone_ = true);
    std::string_view line;
    const LineChannel::Read read = channel_.readLine(line);
    if (read == LineChannel::Read::TooLong) {
        protocolError_ = "PIN answer line too long";
        return false;
    }
    if (read != LineChannel::Read::Line) return !(clientGone_ = true);
    std::string error;
    const std::optional<RequestFields> reply = RequestFields::parse(line, &error);
    const std::optional<std::string_view> op = reply ? reply->text("op") : std::nullopt;
    if (op == protocol::kOpCancel) return false;
    const std::optional<std::string_view> pin = reply ? reply->text("pin") : std::nullopt;
    if (op != protocol::kOpPin || !pin) {
        protocolError_ = "the PIN or a cancel was expected";
        return false;
    }
    operation.setPIN(*pin);
    return true;
}

bool ControlSession::answer(const std::string& json) {
    return channel_.writeLine(json);
}

bool ControlSession::answerError(const std::string& text, std::optional<long> code) {
    json out{{"ok", false}, {"error", text}};
    if (code && *code != 0) out["code"] = *code;
    return answer(dump(out));
}

}  // namespace host
