#pragma once

#include <cstdint>
#include <vector>

#include "Data/Objects/object.h"

// A data object of a card application (object type 8). Its identifier and content are wiped
// when the object is destroyed.
class GC_DataObject : public GC_Object {
public:
    GC_DataObject();
    // Copies the common fields, identifier, content and loaded flag (nothing more for null).
    explicit GC_DataObject(GC_DataObject* source);
    ~GC_DataObject() override;

    // Stores the content and marks it loaded. BER-TLV content is kept in its re-serialised form
    // (definite minimal lengths, zero padding after the last item dropped); any other content,
    // including TLV followed by bytes other than zero padding and BER that the two parsers read
    // into different trees, is kept as it came. The argument is wiped.
    void setData(std::vector<unsigned char> data);
    // A copy of the content.
    std::vector<unsigned char> getData();

    // Identifier bytes (left empty by the PKCS#15 layer).
    std::vector<unsigned char> identifier;
    std::vector<unsigned char> content;
    // 1 once setData has been called.
    uint8_t loaded = 0;
};
