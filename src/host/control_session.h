#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "host/line_channel.h"
#include "host/request_fields.h"
#include "host/token_registry.h"
#include "platform/ctk_token_signer.h"

namespace host {

// One client of the control socket: reads its requests one line at a time and answers each
// (control_protocol.h). Signatures go through the platform's signing protocol, one signer per
// token for the life of the connection, as one application's use of the token; when the token
// asks for the PIN, the client is asked on the same connection.
class ControlSession {
public:
    // A client that sends no request within `idleLimit` of the connection or of the last answer
    // is told so and let go: idle clients would otherwise hold every connection the host serves.
    // A request under way (a PIN asked for, a wait for a token) has no such limit.
    ControlSession(LineChannel& channel, TokenRegistry& registry, std::chrono::milliseconds idleLimit)
        : channel_(channel), registry_(registry), idleLimit_(idleLimit) {}

    // Serves requests until the client goes or idles, the host stops reading, or a line is too long.
    void run();

private:
    // False when the connection is to end.
    bool handle(const RequestFields& request);
    bool list(const RequestFields& request);
    bool waitToken(const RequestFields& request);
    bool sign(const RequestFields& request);
    // The PIN dialog of a signature: asks the client; false when it cancels, goes or answers
    // something else.
    bool askPin(const std::string& reader, const std::string& keyHex, const std::string& label,
                ctk::TokenSmartCardPINAuthOperation& operation);

    bool answer(const std::string& json);
    bool answerError(const std::string& text, std::optional<long> code = std::nullopt);

    LineChannel& channel_;
    TokenRegistry& registry_;
    const std::chrono::milliseconds idleLimit_;
    // Per reader: the token signed with and its signer.
    struct Signer {
        std::shared_ptr<ctk::SmartCardToken> token;
        std::unique_ptr<ctk::TokenSigner> signer;
    };
    std::map<std::string, Signer> signers_;
    bool clientGone_ = false;
    std::string protocolError_;
};

}  // namespace host
