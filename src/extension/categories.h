#pragma once

#include <string>
#include <vector>

namespace ctk {
class KeychainItem;
}

// Small views and conversions the extension uses on platform objects.

// Sets the item's label to `label`, followed by the label it had (in brackets) when it had one.
void setName(ctk::KeychainItem& item, const std::string& label);

// The byte length of the text in at least three decimal digits, then the MD5 digest of its bytes
// in 32 lower-case hex digits (empty when MD5 cannot be computed).
std::string MD5String(const std::string& text);

// The bytes as upper-case hex pairs, a space before every group of four: " 01020304 05".
std::string toHex(const std::vector<unsigned char>& data);

// The first four bytes as a little-endian 32-bit integer; shorter data is zero-extended.
int toInt(const std::vector<unsigned char>& data);
