#pragma once

#include <string>

#include "host/request_fields.h"

// The control socket between gc-token-host and its clients: a Unix stream socket (mode 0600) that
// stands in for the platform's client side, so that PINs never cross the broadcast bus. Each
// request and each answer is one JSON object on one line.
//
// Requests (client to host), by "op":
//   {"op":"list"[,"reader":R]}
//       -> {"ok":true,"tokens":[{"reader":R,"instanceID":I,"items":[ITEM...]}...]}
//       ITEM: {"objectID":HEX,"kind":"certificate","label":L,"certificate":BASE64-DER}
//          or {"objectID":HEX,"kind":"key","label":L,"keyType":"RSA"|"EC","keySize":BITS,
//              "canSign":B,"canDecrypt":B,"canPerformKeyExchange":B,"suitableForLogin":B,
//              "constraints":{"sign"|"decrypt"|"keyExchange": HEX-or-true},"certificateID":HEX}
//   {"op":"wait-token"[,"reader":R][,"gone":true][,"timeoutMs":N]}
//       -> {"ok":true,"reader":R[,"instanceID":I]} once a token is there (or, with "gone", once
//          the reader has none)
//   {"op":"sign","reader":R,"key":HEX,"alg":NAME,"data":BASE64}
//       -> {"pin":"needed","reader":R,"key":HEX,"label":L} when the token asks for the PIN; the
//          client answers {"op":"pin","pin":PIN} or {"op":"cancel"}; then
//       -> {"ok":true,"signature":BASE64,"pinPrompts":N}
// Every failure: {"ok":false,"error":TEXT[,"code":N]} (N: the platform's token error code). A
// line that is not a request, or a field above with a value of another kind, is answered so and
// the connection stays; a line over the limit ends the connection, and so does waiting longer
// than the host's idle limit for a request (the host says so first).
namespace host::protocol {

inline constexpr const char* kOpList = "list";
inline constexpr const char* kOpWaitToken = "wait-token";
inline constexpr const char* kOpSign = "sign";
inline constexpr const char* kOpPin = "pin";
inline constexpr const char* kOpCancel = "cancel";

// The kind of each field a request may carry.
inline constexpr RequestFields::FieldKind kFieldKinds[] = {
    {.name = "op", .kind = RequestFields::Kind::String},    {.name = "reader", .kind = RequestFields::Kind::String},
    {.name = "key", .kind = RequestFields::Kind::String},   {.name = "alg", .kind = RequestFields::Kind::String},
    {.name = "data", .kind = RequestFields::Kind::String},  {.name = "pin", .kind = RequestFields::Kind::String},
    {.name = "gone", .kind = RequestFields::Kind::Boolean}, {.name = "timeoutMs", .kind = RequestFields::Kind::Integer},
};

// The well-known bus name that a running host holds: a second host on the bus refuses to start.
inline constexpr const char* kBusName = "org.gctoken.TokenHost";
// The well-known bus name of the companion's cache service, unless the host is told another: the
// card library takes the cache link's replies from its holder only.
inline constexpr const char* kCompanionBusName = "org.gctoken.CacheServer";

// Where the host listens unless told otherwise: $XDG_RUNTIME_DIR/gc-token-host.sock, for root
// without it /run/gc-token-host.sock, else control.sock in privateSocketDirectory().
std::string defaultSocketPath();
// The user's own directory for the socket when there is no runtime directory:
// /tmp/gc-token-host-<uid>, private to the user.
std::string privateSocketDirectory();

}  // namespace host::protocol
