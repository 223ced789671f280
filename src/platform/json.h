#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The JSON texts that notifications carry: objects whose values are all text.
namespace plat::json {

using StringObject = std::vector<std::pair<std::string, std::string>>;

// Compact JSON of the object; nullopt when a key or value is not valid UTF-8.
std::optional<std::string> dumpStringObject(const StringObject& object);

// The entries of a JSON object whose values are all strings; nullopt for anything else (not
// JSON, not an object, a value that is not a string). A key given twice keeps its last value.
std::optional<StringObject> parseStringObject(const std::string& text);

// Every entry of a JSON object, each with its text when its value is a string and none for any
// other value; nullopt when the text is not a JSON object, or one of more than kMaxMembers
// members (keys given twice counted each time). A key given twice keeps its last value.
inline constexpr size_t kMaxMembers = 64;
using TextEntries = std::vector<std::pair<std::string, std::optional<std::string>>>;
std::optional<TextEntries> parseObjectTexts(const std::string& text);

}  // namespace plat::json
