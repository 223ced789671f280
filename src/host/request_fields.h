#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host {

// The fields of one request line of the control socket: a JSON object whose values are strings,
// integers or booleans (nothing nested). A request may carry a PIN, so every string value lives
// in a buffer reserved once at its final size and wiped when the object goes; nothing of it is
// left in freed memory.
class RequestFields {
public:
    enum class Kind { String, Integer, Boolean };
    struct Value {
        Kind kind = Kind::String;
        std::string text;  // strings
        long long integer = 0;
        bool boolean = false;
    };

    // The kind of value a field of that name must have.
    struct FieldKind {
        std::string_view name;
        Kind kind;
    };

    // More fields than any request has are refused (and the field list never reallocates).
    static constexpr size_t kMaxFields = 16;

    // The fields of `line`, or nullopt with the reason in `error`: not a JSON object, a nested
    // or fractional value, a key given twice, a string that is not UTF-8 or holds a NUL, text
    // after the object.
    static std::optional<RequestFields> parse(std::string_view line, std::string* error);

    RequestFields() { fields_.reserve(kMaxFields); }
    ~RequestFields();
    RequestFields(RequestFields&& other) noexcept = default;
    RequestFields& operator=(RequestFields&& other) noexcept = delete;
    RequestFields(const RequestFields&) = delete;
    RequestFields& operator=(const RequestFields&) = delete;

    const Value* find(std::string_view key) const;
    // The string value of `key`; nullopt when it is absent or not a string.
    std::optional<std::string_view> text(std::string_view key) const;
    bool has(std::string_view key) const { return find(key) != nullptr; }
    // Whether each field named in `kinds` that is present has its kind; false, with the field
    // named in `error`, when one has another.
    bool kindsFit(std::span<const FieldKind> kinds, std::string* error) const;
    size_t size() const { return fields_.size(); }

private:
    std::vector<std::pair<std::string, Value>> fields_;
};

}  // namespace host
