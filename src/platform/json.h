#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The JSON texts that notifications carry: objects whose values are all text. Read and written by
// the library's own code, never a general parser: the companion's messages carry the CAN and the
// frames of the cache link, and nothing of them may stay in freed memory.
namespace plat::json {

using StringObject = std::vector<std::pair<std::string, std::string>>;

// Compact JSON of an object of texts, written in one block sized up front, so that nothing of it
// is freed on the way: a secret in it stays only in the text returned, which its caller wipes.
// Nullopt when a key or a text is not UTF-8.
using TextMember = std::pair<std::string_view, std::string_view>;
std::optional<std::string> writeObjectTexts(std::span<const TextMember> members);
inline std::optional<std::string> writeObjectTexts(std::initializer_list<TextMember> members) {
    return writeObjectTexts(std::span(members.begin(), members.size()));
}

// The entries of a JSON object whose values are all strings, as parseObjectTexts reads them;
// nullopt for anything else (a value that is not a string too). For messages without a secret:
// what a refused text left is not wiped.
std::optional<StringObject> parseStringObject(const std::string& text);

// Every entry of a JSON object, each with its text when its value is a string and none for any
// other value; nullopt when the text is not a JSON object, or one of more than kMaxMembers
// members (keys given twice counted each time). A key given twice keeps its last value.
inline constexpr size_t kMaxMembers = 64;
using TextEntries = std::vector<std::pair<std::string, std::optional<std::string>>>;
std::optional<TextEntries> parseObjectTexts(const std::string& text);

}  // namespace plat::json
