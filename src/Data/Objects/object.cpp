#include "Data/Objects/object.h"

#include "Data/wipe.h"

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
    gc_wipe(label);
    gc_wipe(path);
}
