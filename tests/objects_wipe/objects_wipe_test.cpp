// Card objects wipe their labels, paths and contents before release: every block released
// through operator delete while a test is armed is scanned for a canary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/privkeyobject.h"
#include "support/freed_memory_scan.h"

namespace {

using freedscan::Armed;
using freedscan::g_canary;
using freedscan::kCanaryLength;
using freedscan::makeCanary;

std::vector<unsigned char> canaryBytes(size_t padding) {
    std::vector<unsigned char> v(padding, 0x5A);
    v.insert(v.end(), g_canary, g_canary + kCanaryLength);
    return v;
}
std::string canaryText(size_t padding) {
    const auto b = canaryBytes(padding);
    return std::string(b.begin(), b.end());
}

}  // namespace

TEST(ObjectWiping, DetectorSeesAPlainVector) {
    makeCanary();
    auto* plain = new std::vector<unsigned char>(canaryBytes(0));
    Armed armed;
    delete plain;
    EXPECT_GT(armed.leaks(), 0) << "the scan must catch an unwiped block, or the other tests prove nothing";
}

TEST(ObjectWiping, DataObjectContentLabelAndPath) {
    makeCanary();
    for (size_t labelPadding : {0, 40}) {  // a label inside the object and one on the heap
        SCOPED_TRACE(labelPadding);
        auto* object = new GC_DataObject();
        object->label = canaryText(labelPadding);
        object->path = canaryBytes(3);
        object->identifier = canaryBytes(1);
        object->setData(canaryBytes(20));  // not TLV: stored as it came
        auto* copy = new GC_DataObject(object);
        copy->content.reserve(4 * copy->content.size());  // spare room is wiped as well
        Armed armed;
        delete object;
        delete copy;
        EXPECT_EQ(armed.leaks(), 0);
    }
}

TEST(ObjectWiping, KeyAndCertificateLabelsAndPaths) {
    makeCanary();
    auto* key = new GC_PrivKeyObject();
    key->label = canaryText(30);
    key->path = canaryBytes(2);
    auto* cert = new GC_CertObject();
    cert->label = canaryText(0);
    cert->path = canaryBytes(5);
    Armed armed;
    delete key;
    delete cert;
    EXPECT_EQ(armed.leaks(), 0);
}
