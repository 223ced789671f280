// The first generation's container discovery on a hostile card: the TokenInfo, the AODF, the
// three regions of each PIN's object directory file and the travel document's list, over an
// in-memory card.
//
// Input: one byte whose low four bits mark the object directory files 50 81, 50 88, 50 82, 50 83
// as deactivated (their reads answer -1508), then records [file][length, 2 bytes big-endian]
// [content]; `file` modulo 15 picks 0 TokenInfo, 1 AODF, 2 to 13 one region (directory file
// (file - 2) / 3 in the order above, region (file - 2) % 3: private keys, public keys,
// certificates; each region 1024 bytes, the rest zero), 14 the travel document's list 53 00. A
// file no record names is absent. fuzz/make-corpus.sh writes the test cards in this form.
//
// Beyond "no crash": a successful discovery hands over two application records and one container
// per PIN plus the travel document's, whose objects belong to the layout and to the container's
// PIN (no key or certificate without an owner is left), parents point at PIN records of the same
// run, and the travel document lists its SOD and COM; a failure adds no container, or (when only
// the travel document's list fails) the signature containers of one record. The next run
// replaces the layout's records, while what one run handed out stays valid: its containers keep
// their records, whose objects still point back at them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CardController/cardcontroller_varnel_1_0.h"
#include "Data/Container/container.h"
#include "Data/datapkcs15.h"
#include "fuzz_util.h"
#include "support/fake_controller.h"

namespace {

using gctest::Bytes;
using gctest::FakeController;
using Containers = std::vector<std::shared_ptr<GC_Container>>;

const Bytes kSignatureAid{0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
const Bytes kLdsAid{0xA0, 0x00, 0x00, 0x02, 0x47, 0x10, 0x01};
const Bytes kDirectories[] = {{0x50, 0x81}, {0x50, 0x88}, {0x50, 0x82}, {0x50, 0x83}};
constexpr size_t kRegion = 1024;
constexpr int kDeactivated = -1508;

// The controller with its layout's application records in view.
class Varnel1 : public GC_CardControllerVarnel_1_0 {
public:
    using GC_CardControllerVarnel_1_0::GC_CardControllerVarnel_1_0;
    struct View : GC_DataPKCS15 {
        static size_t count(GC_DataPKCS15& layout) { return (layout.*(&View::applications)).size(); }
    };
    GC_DataPKCS15& layout() { return static_cast<GC_DataPKCS15&>(*data); }
    size_t applications() { return View::count(layout()); }
};

void loadCard(const uint8_t* data, size_t size, FakeController& card) {
    Bytes directories[4];
    size_t pos = 1;
    while (size - pos >= 3) {
        const unsigned file = data[pos] % 15;
        size_t length = static_cast<size_t>(data[pos + 1]) << 8 | data[pos + 2];
        pos += 3;
        if (length > size - pos) length = size - pos;
        const Bytes content(data + pos, data + pos + length);
        pos += length;
        if (file == 0) {
            card.setFile(kSignatureAid, {0x50, 0x32}, content);
        } else if (file == 1) {
            card.setFile(kSignatureAid, {0x52, 0x00}, content);
        } else if (file == 14) {
            card.setFile(kLdsAid, {0x53, 0x00}, content);
        } else {
            Bytes& directory = directories[(file - 2) / 3];
            directory.resize(3 * kRegion, 0x00);
            const size_t at = (file - 2) % 3 * kRegion;
            std::copy_n(content.begin(), std::min(content.size(), kRegion), directory.begin() + static_cast<long>(at));
        }
    }
    for (size_t i = 0; i < 4; ++i) {
        if (!directories[i].empty()) card.setFile(kSignatureAid, kDirectories[i], directories[i]);
        if (data[0] & (1u << i)) card.failRead(kSignatureAid, kDirectories[i], kDeactivated);
    }
}

bool hasLabel(const std::vector<GC_Object*>& objects, const char* label) {
    for (const GC_Object* object : objects)
        if (object->label == label) return true;
    return false;
}

// The containers one successful run appended, from `first` on.
void checkRun(Varnel1& controller, const Containers& list, size_t first) {
    CHECK(list.size() > first);
    GC_DataPKCS15& layout = controller.layout();
    std::set<const GC_Container::pin_record*> pins;
    for (size_t i = first; i + 1 < list.size(); ++i) pins.insert(list[i]->pin.get());
    for (size_t i = first; i + 1 < list.size(); ++i) {
        const GC_Container& container = *list[i];
        CHECK(container.pin != nullptr && container.AID == kSignatureAid);
        if (container.parentPin != nullptr) CHECK(pins.count(container.parentPin) == 1);
        std::vector<GC_Object*> objects;
        const_cast<GC_Container&>(container).getObjects(objects);
        for (GC_Object* object : objects) {
            GC_DataPKCS15::app_info* app = nullptr;
            GC_DataPKCS15::object_info* info = nullptr;
            CHECK(layout.findObjectInfo(object, &app, &info) == 0 && info == object->objectInfo);
            CHECK(object->authId == container.authId && object->authId != 0);
        }
    }
    GC_DataPKCS15::app_info* app = nullptr;
    if (list.size() - first > 1) {
        CHECK(layout.findAppInfo(list[first].get(), &app) == 0);
        for (GC_Object* object : layout.getAllObjects(app))
            CHECK(object->type == GC_Object::TYPE_DATA || object->authId != 0);
    }

    GC_Container& lds = *list.back();
    CHECK(lds.pin == nullptr && lds.AID == kLdsAid && lds.label == "eMRTD" && lds.flags == 0);
    std::vector<GC_Object*> objects;
    lds.getObjects(objects);
    for (const GC_Object* object : objects) CHECK(object->type == GC_Object::TYPE_DATA && object->authId == 0);
    CHECK(hasLabel(objects, "SOD") && hasLabel(objects, "COM"));
}

// Every object the containers of a run before list is alive in the record it points at, which
// the layout no longer holds.
void checkKept(Varnel1& controller, const Containers& list) {
    for (const auto& container : list) {
        std::vector<GC_Object*> objects;
        container->getObjects(objects);
        for (GC_Object* object : objects) {
            GC_DataPKCS15::app_info* app = nullptr;
            GC_DataPKCS15::object_info* info = nullptr;
            CHECK(controller.layout().findObjectInfo(object, &app, &info) != 0);
            info = object->objectInfo;
            CHECK(info != nullptr && info->kind == object->type && object->authId == container->authId);
            bool held = false;
            for (const auto& kept : info->objects) held = held || kept.get() == object;
            CHECK(held);
        }
    }
}

// One discovery; true when it succeeded.
bool discover(Varnel1& controller, Containers& list) {
    const size_t before = list.size();
    const int result = controller.getPKCS15(list);
    const size_t added = controller.applications();
    if (result == 0) {
        CHECK(added == 2);
        checkRun(controller, list, before);
        return true;
    }
    // Nothing, or the signature record with its containers when only the travel document failed.
    CHECK(added <= 1);
    if (added == 0) CHECK(list.size() == before);
    for (size_t i = before; i < list.size(); ++i) CHECK(list[i]->pin != nullptr);
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const GcFuzzErrorQueueReset reset;
    if (size < 1) return 0;
    FakeController card;
    loadCard(data, size, card);
    Varnel1 controller(&card, true);
    Containers list;
    if (!discover(controller, list)) return 0;
    const Containers first = list;
    discover(controller, list);
    checkKept(controller, first);
    return 0;
}
