#include "platform/json.h"

#include <nlohmann/json.hpp>

#include "Data/wipe.h"
#include "platform/json_reader.h"

namespace plat::json {

std::optional<std::string> dumpStringObject(const StringObject& object) {
    nlohmann::json value = nlohmann::json::object();
    for (const auto& [key, text] : object) value[key] = text;
    try {
        return value.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;  // text that is not UTF-8
    }
}

std::optional<StringObject> parseStringObject(const std::string& text) {
    const nlohmann::json value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!value.is_object()) return std::nullopt;  // a parse failure is "discarded", not an object
    StringObject entries;
    for (const auto& [key, item] : value.items()) {
        if (!item.is_string()) return std::nullopt;
        entries.emplace_back(key, item.get<std::string>());
    }
    return entries;
}

namespace {

// The members of the object that makes up the whole text, each handed to `member` with its key
// and its string value (none for a value of another kind); false for any other text, and as soon
// as `member` answers false.
template <typename Member>
bool readObject(const std::string& text, Member member) {
    TextReader reader(text);
    reader.skipByteOrderMark();
    reader.skipSpace();
    if (!reader.take('{')) return false;
    reader.skipSpace();
    if (!reader.take('}')) {
        for (;;) {
            std::string key;
            reader.skipSpace();
            if (!reader.string(key, /*secret=*/false)) return false;
            reader.skipSpace();
            if (!reader.take(':')) return false;
            reader.skipSpace();
            std::optional<std::string> value;
            if (reader.peek() == '"') {
                value.emplace();
                const bool read = reader.string(*value, /*secret=*/true);
                const bool taken = read && member(std::move(key), std::move(value));
                if (value) gc_wipe(*value);  // what a failed read left, or a short text copied out
                if (!taken) return false;
            } else {
                if (!reader.skipValue() || !member(std::move(key), std::nullopt)) return false;
            }
            reader.skipSpace();
            if (reader.take('}')) break;
            if (!reader.take(',')) return false;
        }
    }
    reader.skipSpace();
    return reader.atEnd();
}

}  // namespace

// Read with the library's own reader, not nlohmann's: the companion's messages carry the CAN, and
// nothing of it may stay in freed memory (a general parser keeps copies of the tokens it read).
// Twice: the first reading counts the members, so that the entries never move once filled. It
// also stops an object of more members than any message has before a single key is compared:
// the check for keys given twice compares each key with every one before it.
std::optional<TextEntries> parseObjectTexts(const std::string& text) {
    size_t members = 0;
    if (!readObject(text, [&](std::string&&, std::optional<std::string>&&) { return ++members <= kMaxMembers; }))
        return std::nullopt;
    TextEntries entries;
    entries.reserve(members);
    readObject(text, [&](std::string&& key, std::optional<std::string>&& value) {
        for (auto& [name, held] : entries) {
            if (name != key) continue;
            if (held) gc_wipe(*held);
            held = std::move(value);
            return true;
        }
        entries.emplace_back(std::move(key), std::move(value));
        return true;
    });
    return entries;
}

}  // namespace plat::json
