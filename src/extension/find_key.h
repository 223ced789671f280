#pragma once

#include <memory>
#include <vector>

class GC_Container;
class GC_Object;

// The container's first private key whose identifier equals `identifier` byte for byte; null when
// there is none (or no container).
GC_Object* findKey(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& identifier);
