#include "host/request_fields.h"

#include "Data/wipe.h"
#include "platform/notification_center.h"

namespace host {

namespace {

constexpr size_t kMaxIntegerDigits = 18;  // fits a long long

// A strict reader of one flat JSON object.
class Reader {
public:
    Reader(std::string_view text, std::string* error) : text_(text), error_(error) {}

    bool fail(const char* reason) {
        if (error_ != nullptr) *error_ = reason;
        return false;
    }

    void skipSpace() {
        while (at_ < text_.size() &&
               (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' || text_[at_] == '\n'))
            ++at_;
    }
    bool atEnd() const { return at_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[at_]; }
    bool take(char c) {
        if (peek() != c || atEnd()) return false;
        ++at_;
        return true;
    }
    bool takeWord(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    // A JSON string into `out`. A value is reserved up front to the longest it can get, so that
    // decoding never moves it (it may be a PIN); keys are names and grow as they like.
    bool string(std::string& out, bool secret) {
        if (!take('"')) return fail("a string was expected");
        if (secret) out.reserve(text_.size() - at_);
        while (!atEnd()) {
            const char c = text_[at_++];
            if (c == '"') {
                if (!plat::isPostableText(out)) return fail("a string is not UTF-8 text");
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return fail("a control character in a string");
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (atEnd()) break;
            const char e = text_[at_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out.push_back(e);
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'u':
                    if (!unicodeEscape(out)) return false;
                    break;
                default:
                    return fail("an unknown escape in a string");
            }
        }
        return fail("a string is not closed");
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
    bool hex4(unsigned& out) {
        if (text_.size() - at_ < 4) return fail("a short \\u escape");
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = text_[at_++];
            unsigned digit;
            if (h >= '0' && h <= '9')
                digit = static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
                digit = static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                digit = static_cast<unsigned>(h - 'A' + 10);
            else
                return fail("a bad \\u escape");
            out = out << 4 | digit;
        }
        return true;
    }

    bool unicodeEscape(std::string& out) {
        unsigned code;
        if (!hex4(code)) return false;
        if (code >= 0xDC00 && code <= 0xDFFF) return fail("a lone surrogate in a string");
        if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low;
            if (!takeWord("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
                return fail("a lone surrogate in a string");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        // UTF-8; never longer than the six characters of the escape it replaces.
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | code >> 6));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | code >> 12));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | code >> 18));
            out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
        return true;
    }

    bool integer(RequestFields::Value& out) {
        const bool negative = take('-');
        size_t digits = 0;
        long long value = 0;
        while (!atEnd() && text_[at_] >= '0' && text_[at_] <= '9') {
            if (++digits > kMaxIntegerDigits) return fail("a number out of range");
            value = value * 10 + (text_[at_++] - '0');
        }
        if (digits == 0) return fail("a value was expected");
        if (digits > 1 && text_[at_ - digits] == '0') return fail("a number with a leading zero");
        const char next = peek();
        if (next == '.' || next == 'e' || next == 'E') return fail("only whole numbers are accepted");
        out.kind = RequestFields::Kind::Integer;
        out.integer = negative ? -value : value;
        return true;
    }

    std::string_view text_;
    std::string* error_;
    size_t at_ = 0;
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

std::optional<std::string_view> RequestFields::text(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr || value->kind != Kind::String) return std::nullopt;
    return value->text;
}

}  // namespace host
