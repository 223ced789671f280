// PKCS#15 structures from a hostile card: EF.DIR, TokenInfo, ODF, the authentication object
// directories and the object directories of every kind, the object contents they point at, and
// the directory rewriting of deletion and container initialisation, all over an in-memory card.
//
// Input: one byte choosing the write operation and its target, one byte choosing an update that
// fails (0: none), then the card's files, each as [directory length][directory][file id
// length][file id][content length, 2 bytes big-endian][content]. fuzz/make-corpus.sh writes
// the test cards of tests/data in this form.
//
// Beyond "no crash": every object a container lists belongs to the layout, carries the
// container's authId and points back at the record that holds it; parent PIN links point at PIN
// records of the same discovery; a second discovery replaces the layout's records, while the
// containers of the first keep theirs (shared ownership), so their objects stay valid and still
// point back at the records that hold them; a failed deletion or initialisation leaves every file
// of the card as it was, and a successful one removes exactly the object or objects it names from
// the layout.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15.h"
#include "fuzz_util.h"
#include "support/fake_controller.h"

namespace {

using gctest::Bytes;
using gctest::FakeController;
using Containers = std::vector<std::shared_ptr<GC_Container>>;

// The layout with its applications in view.
class Layout : public GC_DataPKCS15 {
public:
    using GC_DataPKCS15::GC_DataPKCS15;

    std::vector<GC_Object*> objects() {
        std::vector<GC_Object*> all;
        for (const auto& app : applications) {
            for (GC_Object* object : getAllObjects(app.get())) all.push_back(object);
        }
        return all;
    }
};

// Reads the files of the input into the card; the first two bytes are the choices.
void loadCard(const uint8_t* data, size_t size, FakeController& card) {
    size_t pos = 2;
    const auto take = [&](size_t n) {
        const size_t got = n < size - pos ? n : size - pos;
        Bytes out(data + pos, data + pos + got);
        pos += got;
        return out;
    };
    while (pos < size) {
        const Bytes dir = take(data[pos++]);
        if (pos >= size) break;
        const Bytes fid = take(data[pos++]);
        if (size - pos < 2) break;
        const size_t length = static_cast<size_t>(data[pos]) << 8 | data[pos + 1];
        pos += 2;
        card.setFile(dir, fid, take(length));
    }
}

// current: the containers of the layout's newest discovery; otherwise of one before it, which
// the layout no longer holds.
void checkContainers(Layout& layout, const Containers& containers, bool current = true) {
    std::set<const GC_Container::pin_record*> pins;
    for (const auto& container : containers) pins.insert(container->pin.get());
    for (const auto& container : containers) {
        if (container->parentPin != nullptr) CHECK(pins.count(container->parentPin) == 1);
        std::vector<GC_Object*> objects;
        container->getObjects(objects);
        for (GC_Object* object : objects) {
            GC_DataPKCS15::app_info* app = nullptr;
            GC_DataPKCS15::object_info* info = nullptr;
            CHECK((layout.findObjectInfo(object, &app, &info) == 0) == current);
            info = object->objectInfo;
            CHECK(info != nullptr && info->kind == object->type);
            bool held = false;
            for (const auto& kept : info->objects) held = held || kept.get() == object;
            CHECK(held);
            CHECK(object->authId == container->authId);
        }
    }
}

// What reading the contents left in the objects.
void checkContents(const std::vector<GC_Object*>& objects) {
    for (GC_Object* object : objects) {
        if (object->type == GC_Object::TYPE_CERTIFICATE) {
            auto* cert = static_cast<GC_CertObject*>(object);
            Bytes der;
            if (cert->cert) CHECK(cert->getCert(der) == 0 && !der.empty());
        } else if (object->type == GC_Object::TYPE_PUBLIC_KEY) {
            auto* key = static_cast<GC_PubKeyObject*>(object);
            // All bits set: a key of another kind than the entry says (a certificate's key).
            const uint64_t bits = key->getKeySize();
            CHECK(key->keyBits == (bits == UINT64_MAX ? 0 : bits) && (key->key || bits == 0));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const GcFuzzErrorQueueReset reset;
    if (size < 2) return 0;
    FakeController card;
    loadCard(data, size, card);

    Layout layout(&card);
    Containers first;
    layout.getContainers(first);
    checkContainers(layout, first);
    std::vector<GC_Object*> objects = layout.objects();
    if (!objects.empty()) {
        layout.readObjects(objects);
        checkContents(objects);
    }

    // A second discovery replaces the layout's records; what the first handed out stays valid
    // through its containers. The writes below work on the second one.
    Containers containers;
    const int found = layout.getContainers(containers);
    checkContainers(layout, containers);
    checkContainers(layout, first, false);
    checkContents(objects);
    objects = layout.objects();
    if (found != 0 || objects.empty()) return 0;

    // Deletion or initialisation, perhaps with an update that fails half written.
    const FakeController::Store before = card.files();
    if (data[1] != 0) card.failUpdateAt(data[1] % 4 + 1, -1505, data[1] / 4);
    const size_t held = layout.objects().size();
    if (data[0] & 1) {
        GC_Object* target = objects[(data[0] >> 1) % objects.size()];
        const int result = layout.deleteObject(target);
        if (result != 0) {
            CHECK(card.files() == before);
            CHECK(layout.objects().size() == held);
        } else {
            CHECK(layout.objects().size() == held - 1);
        }
    } else if (!containers.empty()) {
        std::shared_ptr<GC_Container> container = containers[(data[0] >> 1) % containers.size()];
        std::vector<GC_Object*> listed;
        container->getObjects(listed);
        const int result = layout.initContainer(container, data[0] & 2 ? "relabelled" : "");
        if (result != 0) {
            CHECK(card.files() == before);
            CHECK(layout.objects().size() == held);
        } else {
            CHECK(layout.objects().size() == held - std::set<GC_Object*>(listed.begin(), listed.end()).size());
        }
    }

    // The card as the write left it is read like any other.
    card.clearFailures();
    Layout fresh(&card);
    Containers reread;
    fresh.getContainers(reread);
    checkContainers(fresh, reread);
    return 0;
}
