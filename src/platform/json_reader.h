#pragma once

#include <string>
#include <string_view>

namespace plat::json {

// A strict reader of JSON text (RFC 8259), for texts that may carry a secret (a CAN, a PIN): it
// leaves nothing of what it reads in freed memory. A string read as a secret is reserved up front
// at the longest it can get, so that decoding never moves it; its owner wipes it.
class TextReader {
public:
    explicit TextReader(std::string_view text, std::string* error = nullptr) : text_(text), error_(error) {}

    // Records the reason (when an error text was asked for) and gives false.
    bool fail(const char* reason);

    void skipSpace();
    bool atEnd() const { return at_ >= text_.size(); }
    // The next character, NUL at the end.
    char peek() const { return atEnd() ? '\0' : text_[at_]; }
    bool take(char c);
    bool takeWord(std::string_view word);
    // A byte order mark at the start of the text, skipped.
    void skipByteOrderMark();

    // A JSON string appended to `out`, escapes decoded; its text must be UTF-8 (a NUL written as
    // \u0000 is kept).
    bool string(std::string& out, bool secret);
    // A JSON number whose value is finite as a double; its text goes to `out`.
    bool number(std::string_view& out);
    // Any JSON value, read and dropped: arrays and objects to any depth; the strings in it are
    // wiped.
    bool skipValue();

private:
    bool hex4(unsigned& out);
    bool unicodeEscape(std::string& out);
    // After the key of an object member: the colon.
    bool memberKey();

    std::string_view text_;
    std::string* error_;
    size_t at_ = 0;
};

// Strict UTF-8 (no overlong forms, surrogates or code points above U+10FFFF); NUL is allowed.
bool isUtf8Text(std::string_view text);

}  // namespace plat::json
