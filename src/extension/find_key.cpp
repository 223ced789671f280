#include "extension/find_key.h"

#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"

GC_Object* findKey(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& identifier) {
    if (!container) return nullptr;
    std::vector<GC_Object*> objects;
    container->getObjects(objects);
    for (GC_Object* object : objects) {
        if (object == nullptr || object->type != GC_Object::TYPE_PRIVATE_KEY) continue;
        if (static_cast<GC_PrivKeyObject*>(object)->ID == identifier) return object;
    }
    return nullptr;
}
