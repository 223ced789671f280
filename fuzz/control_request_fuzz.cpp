// The control socket's request reader against nlohmann's JSON parser: every line it accepts is a
// JSON object that nlohmann reads with the same fields and values (it may refuse more: nested
// values, fractions, keys given twice, NUL characters); and a request is refused for a field's
// kind exactly when nlohmann gives one of the protocol's fields a value of another type.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "host/control_protocol.h"
#include "host/request_fields.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<host::RequestFields> fields = host::RequestFields::parse(line, &error);
    if (!fields) {
        check(!error.empty());
        return 0;
    }
    const nlohmann::json reference = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    check(reference.is_object());
    for (const auto& [key, value] : reference.items()) {
        const host::RequestFields::Value* mine = fields->find(key);
        check(mine != nullptr);
        switch (mine->kind) {
            case host::RequestFields::Kind::String:
                check(value.is_string() && value.get<std::string>() == mine->text);
                break;
            case host::RequestFields::Kind::Integer:
                check(value.is_number_integer() && value.get<long long>() == mine->integer);
                break;
            case host::RequestFields::Kind::Boolean:
                check(value.is_boolean() && value.get<bool>() == mine->boolean);
                break;
        }
    }
    // Every field nlohmann saw, and no more (a key given twice is refused).
    check(fields->size() == reference.size());

    bool typesFit = true;
    for (const auto& [name, kind] : host::protocol::kFieldKinds) {
        const auto value = reference.find(std::string(name));
        if (value == reference.end()) continue;
        switch (kind) {
            case host::RequestFields::Kind::String:
                typesFit = typesFit && value->is_string();
                break;
            case host::RequestFields::Kind::Integer:
                typesFit = typesFit && value->is_number_integer();
                break;
            case host::RequestFields::Kind::Boolean:
                typesFit = typesFit && value->is_boolean();
                break;
        }
    }
    check(fields->kindsFit(host::protocol::kFieldKinds, &error) == typesFit);
    check(typesFit || !error.empty());
    return 0;
}
