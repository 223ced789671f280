#include "platform/json_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "Data/wipe.h"

namespace plat::json {

bool TextReader::fail(const char* reason) {
    if (error_ != nullptr) *error_ = reason;
    return false;
}

void TextReader::skipSpace() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' || text_[at_] == '\n'))
        ++at_;
}

bool TextReader::take(char c) {
    if (atEnd() || text_[at_] != c) return false;
    ++at_;
    return true;
}

bool TextReader::takeWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
}

void TextReader::skipByteOrderMark() {
    if (at_ == 0) takeWord("\xEF\xBB\xBF");
}

bool TextReader::string(std::string& out, bool secret) {
    if (!take('"')) return fail("a string was expected");
    if (secret) {
        // Decoding never lengthens the text: as long as it is up to its closing quote.
        size_t end = at_;
        while (end < text_.size() && text_[end] != '"') end += text_[end] == '\\' ? 2 : 1;
        out.reserve(out.size() + std::min(end, text_.size()) - at_);
    }
    while (!atEnd()) {
        const char c = text_[at_++];
        if (c == '"') {
            if (!isUtf8Text(out)) return fail("a string is not UTF-8 text");
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

bool TextReader::hex4(unsigned& out) {
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

bool TextReader::unicodeEscape(std::string& out) {
    unsigned code;
    if (!hex4(code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return fail("a lone surrogate in a string");
    if (code >= 0xD800 && code <= 0xDBFF) {
        unsigned low;
        if (!takeWord("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return fail("a lone surrogate in a string");
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

bool TextReader::number(std::string_view& out) {
    const size_t start = at_;
    const auto digits = [this] {
        size_t n = 0;
        while (!atEnd() && text_[at_] >= '0' && text_[at_] <= '9') ++at_, ++n;
        return n;
    };
    take('-');
    if (take('0')) {
        // nothing more in the integer part
    } else if (digits() == 0) {
        return fail("a value was expected");
    }
    if (take('.') && digits() == 0) return fail("a digit was expected after the decimal point");
    if (take('e') || take('E')) {
        if (!take('+')) take('-');
        if (digits() == 0) return fail("a digit was expected in the exponent");
    }
    out = text_.substr(start, at_ - start);
    // A value beyond the doubles is no number a JSON reader can hold.
    std::string copy(out);
    const bool finite = std::isfinite(std::strtod(copy.c_str(), nullptr));
    gc_wipe(copy);
    return finite || fail("a number out of range");
}

bool TextReader::memberKey() {
    std::string key;
    skipSpace();
    const bool read = string(key, /*secret=*/true);
    gc_wipe(key);
    if (!read) return false;
    skipSpace();
    return take(':') || fail("a colon was expected");
}

bool TextReader::skipValue() {
    // The arrays and objects open around the value being read, innermost last.
    std::string open;
    for (;;) {
        skipSpace();
        const char c = peek();
        bool opened = false;
        if (c == '{' || c == '[') {
            ++at_;
            skipSpace();
            if (!take(c == '{' ? '}' : ']')) {
                open.push_back(c);
                if (c == '{' && !memberKey()) return false;
                opened = true;
            }
        } else if (c == '"') {
            std::string text;
            const bool read = string(text, /*secret=*/true);
            gc_wipe(text);
            if (!read) return false;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            std::string_view digits;
            if (!number(digits)) return false;
        } else if (!takeWord("true") && !takeWord("false") && !takeWord("null")) {
            return fail("a value was expected");
        }
        if (opened) continue;  // its first element is next
        // After a value: the ends of what it closes, then the next element.
        for (;;) {
            if (open.empty()) return true;
            skipSpace();
            const bool object = open.back() == '{';
            if (take(object ? '}' : ']')) {
                open.pop_back();
                continue;
            }
            if (!take(',')) return fail("a comma or the end of an array or object was expected");
            if (object && !memberKey()) return false;
            break;
        }
    }
}

bool isUtf8Text(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        char32_t code;
        char32_t minimum;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, code = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

}  // namespace plat::json
