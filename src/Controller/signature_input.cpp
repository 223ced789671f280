#include "Controller/signature_input.h"

namespace gc_signing {

std::shared_ptr<GC_Container::mechanism_info> findMechanism(GC_Container& container, GC_Object::key_type keyType,
                                                            GC_Security::data_format format) {
    uint64_t wanted = 0;
    if (keyType == GC_Object::KEY_EC) wanted = GC_Container::MECHANISM_EC;
    if (keyType == GC_Object::KEY_RSA) wanted = GC_Container::MECHANISM_RSA;
    for (const auto& mechanism : container.getSupportedMechanism()) {
        if (mechanism && (mechanism->mechanism & wanted) != 0 && (mechanism->hashFormats & format) != 0)
            return mechanism;
    }
    return nullptr;
}

int digestInput(const std::vector<unsigned char>& data, GC_Security::data_format format,
                std::vector<unsigned char>& input) {
    if (format == GC_Security::HASH_NONE || data.size() == GC_Security::alghoritmLenOutput(format)) {
        input = data;
        return 0;
    }
    input.clear();
    return GC_Security::hashValuesToKey(format, {data}, input);
}

std::vector<unsigned char> zeroPadded(const std::vector<unsigned char>& data, size_t length) {
    std::vector<unsigned char> out(length > data.size() ? length - data.size() : 0, 0x00);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

}  // namespace gc_signing
