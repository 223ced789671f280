#include "host/request_fields.h"

#include "Data/wipe.h"
#include "platform/json_reader.h"

namespace host {

namespace {

constexpr size_t kMaxIntegerDigits = 18;  // fits a long long

// The platform's strict JSON reader, with what a request may hold: strings without NUL, whole
// numbers that fit a long long, booleans; nothing nested.
class Reader : public plat::json::TextReader {
public:
    using TextReader::TextReader;

    bool string(std::string& out, bool secret) {
        if (!TextReader::string(out, secret)) return false;
        return out.find('\0') == std::string::npos || fail("a string is not UTF-8 text");
    }

    bool value(RequestFields::Value& out) {
        const char c = peek();
        if (c == '"') {
            out.kind = RequestFields::Kind::String;
            return string(out.text, /*secret=*/true);
        }
        if (takeWord("true")) {
            out.kind = RequestFields::Kind::Boolean;
            out.boolean = true;
            return true;
        }
        if (takeWord("false")) {
            out.kind = RequestFields::Kind::Boolean;
            out.boolean = false;
            return true;
        }
        if (c == '-' || (c >= '0' && c <= '9')) return integer(out);
        if (c == '{' || c == '[') return fail("nested values are not accepted");
        return fail("a value was expected");
    }

private:
    bool integer(RequestFields::Value& out) {
        const bool negative = take('-');
        const char first = peek();
        size_t digits = 0;
        long long value = 0;
        for (char d = peek(); d >= '0' && d <= '9' && take(d); d = peek()) {
            if (++digits > kMaxIntegerDigits) return fail("a number out of range");
            value = value * 10 + (d - '0');
        }
        if (digits == 0) return fail("a value was expected");
        if (digits > 1 && first == '0') return fail("a number with a leading zero");
        const char next = peek();
        if (next == '.' || next == 'e' || next == 'E') return fail("only whole numbers are accepted");
        out.kind = RequestFields::Kind::Integer;
        out.integer = negative ? -value : value;
        return true;
    }
};

}  // namespace

std::optional<RequestFields> RequestFields::parse(std::string_view line, std::string* error) {
    Reader reader(line, error);
    RequestFields fields;
    reader.skipSpace();
    if (!reader.take('{')) {
        reader.fail("not a JSON object");
        return std::nullopt;
    }
    reader.skipSpace();
    if (!reader.take('}')) {
        for (;;) {
            if (fields.fields_.size() == kMaxFields) {
                reader.fail("too many fields");
                return std::nullopt;
            }
            std::string key;
            Value value;
            reader.skipSpace();
            if (!reader.string(key, /*secret=*/false)) return std::nullopt;
            reader.skipSpace();
            if (!reader.take(':')) {
                reader.fail("a colon was expected");
                return std::nullopt;
            }
            reader.skipSpace();
            if (!reader.value(value)) {
                gc_wipe(value.text);
                return std::nullopt;
            }
            if (fields.has(key)) {
                gc_wipe(value.text);
                reader.fail("a key is given twice");
                return std::nullopt;
            }
            fields.fields_.emplace_back(std::move(key), std::move(value));
            gc_wipe(value.text);  // a short string was copied out of its inline buffer, not moved
            reader.skipSpace();
            if (reader.take('}')) break;
            if (!reader.take(',')) {
                reader.fail("a comma or the end of the object was expected");
                return std::nullopt;
            }
        }
    }
    reader.skipSpace();
    if (!reader.atEnd()) {
        reader.fail("text after the object");
        return std::nullopt;
    }
    return fields;
}

RequestFields::~RequestFields() {
    for (auto& [key, value] : fields_) gc_wipe(value.text);
}

const RequestFields::Value* RequestFields::find(std::string_view key) const {
    for (const auto& [name, value] : fields_) {
        if (name == key) return &value;
    }
    return nullptr;
}

bool RequestFields::kindsFit(std::span<const FieldKind> kinds, std::string* error) const {
    for (const FieldKind& expected : kinds) {
        const Value* value = find(expected.name);
        if (value == nullptr || value->kind == expected.kind) continue;
        if (error != nullptr) {
            const char* what = expected.kind == Kind::String    ? "text"
                               : expected.kind == Kind::Integer ? "a whole number"
                                                                : "true or false";
            *error = "\"" + std::string(expected.name) + "\" is not " + what;
        }
        return false;
    }
    return true;
}

std::optional<std::string_view> RequestFields::text(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr || value->kind != Kind::String) return std::nullopt;
    return value->text;
}

}  // namespace host
