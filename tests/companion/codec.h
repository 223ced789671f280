#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The companion's own reading and writing of the cache protocol, written from the peer's side:
// nothing here comes from the driver's src/Queue or src/cache.
namespace companion {

using Bytes = std::vector<unsigned char>;
using Message = std::map<std::string, std::string>;

std::string base64Encode(const Bytes& bytes);
// Standard base64 with padding; nullopt for anything else.
std::optional<Bytes> base64Decode(std::string_view text);

// A JSON object; values that are not text are kept as their JSON text. nullopt for anything else,
// and for values nested more than 32 deep.
std::optional<Message> parseMessage(const std::string& json);
std::string dumpMessage(const Message& message);

Bytes toBytes(std::string_view text);
std::string toText(const Bytes& bytes);
std::string toHex(const Bytes& bytes);

// Index of `text` in `bytes` from `from` on, or npos.
size_t find(const Bytes& bytes, std::string_view text, size_t from = 0);
size_t findLast(const Bytes& bytes, std::string_view text);
inline constexpr size_t npos = static_cast<size_t>(-1);

Bytes xorWith(const Bytes& key, const Bytes& data);

}  // namespace companion
