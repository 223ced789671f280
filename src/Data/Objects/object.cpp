#include "Data/Objects/object.h"

#include <openssl/crypto.h>

GC_Object::GC_Object(GC_Object* source) {
    if (source == nullptr) return;
    objectInfo = source->objectInfo;
    type = source->type;
    authId = source->authId;
    label = source->label;
    path = source->path;
    index = source->index;
    length = source->length;
    state = source->state;
    flags = source->flags;
    flagByte = source->flagByte;
}

GC_Object::~GC_Object() {
    wipeText(label);
    wipeBytes(path);
}

void GC_Object::wipeBytes(std::vector<unsigned char>& bytes) {
    // Growing to the capacity never reallocates, and makes the spare room part of what is wiped.
    bytes.resize(bytes.capacity());
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
}

void GC_Object::wipeText(std::string& text) {
    text.resize(text.capacity());
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}
