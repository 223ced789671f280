#include "platform/json.h"

#include "Data/wipe.h"
#include "platform/json_reader.h"

namespace plat::json {

namespace {

// The length of a text written as a JSON string, its quotes included.
size_t writtenLength(std::string_view text) {
    size_t length = 2;
    for (const char c : text) length += c == '"' || c == '\\' ? 2 : static_cast<unsigned char>(c) < 0x20 ? 6 : 1;
    return length;
}

// Appends a text as a JSON string: quoted, with quotes, backslashes and control characters escaped.
void appendString(std::string& out, std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out.push_back('"');
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20) {
            out.append("\\u00");
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0x0F]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

}  // namespace

std::optional<std::string> writeObjectTexts(std::span<const TextMember> members) {
    size_t length = 2;
    for (const auto& [key, text] : members) {
        if (!isUtf8Text(key) || !isUtf8Text(text)) return std::nullopt;
        length += writtenLength(key) + 1 + writtenLength(text) + 1;
    }
    std::string out;
    out.reserve(length);
    out.push_back('{');
    for (const auto& [key, text] : members) {
        if (out.size() > 1) out.push_back(',');
        appendString(out, key);
        out.push_back(':');
        appendString(out, text);
    }
    out.push_back('}');
    return out;
}

std::optional<StringObject> parseStringObject(const std::string& text) {
    std::optional<TextEntries> entries = parseObjectTexts(text);
    if (!entries) return std::nullopt;
    StringObject object;
    object.reserve(entries->size());
    for (auto& [key, value] : *entries) {
        if (!value) return std::nullopt;
        object.emplace_back(std::move(key), std::move(*value));
    }
    return object;
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
