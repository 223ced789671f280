#include "platform/json.h"

#include <nlohmann/json.hpp>

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

std::optional<TextEntries> parseObjectTexts(const std::string& text) {
    const nlohmann::json value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!value.is_object()) return std::nullopt;
    TextEntries entries;
    for (const auto& [key, item] : value.items()) {
        if (item.is_string())
            entries.emplace_back(key, item.get<std::string>());
        else
            entries.emplace_back(key, std::nullopt);
    }
    return entries;
}

}  // namespace plat::json
