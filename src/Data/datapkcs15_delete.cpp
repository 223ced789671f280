#include <algorithm>
#include <map>

#include "Data/Objects/certobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15.h"
#include "Data/datapkcs15_image.h"
#include "Data/datapkcs15_internal.h"
#include "logger.h"

// Object deletion and container initialisation: directory entries taken out, contents cut out
// of their content files, the places of the contents behind them lowered in every entry that
// names them, and the relabelling of a container's PIN entry.
//
// Everything a call changes is planned from the files as read before the first write; the writes
// then run in order and, when one fails, the bytes read are put back over all of them. The
// layout's lists change only once every write has succeeded, so that the i-th object of a
// directory record always stands for the i-th entry that makes an object.

using namespace gc_pkcs15;

namespace {

constexpr unsigned long kLogMask = gc_log::kData;
constexpr unsigned long kErrMask = gc_log::kError;

using AppInfo = GC_DataPKCS15::app_info;
using ObjectInfo = GC_DataPKCS15::object_info;

struct Target {
    GC_Object* object = nullptr;
    ObjectInfo* record = nullptr;
};

// One directory record whose area is rewritten.
struct RecordPlan {
    ObjectInfo* record = nullptr;
    Image image;
    std::vector<size_t> positions;
    std::vector<bool> removed;
    // New encodings of entries whose index moves, by entry position.
    std::map<size_t, Bytes> reencoded;
};

struct Cut {
    uint64_t start = 0;
    uint64_t length = 0;
};

// One content file with the ranges cut out of it.
struct FilePlan {
    Bytes path;
    Bytes data;
    std::vector<Cut> cuts;
};

// What removing some objects of one application changes.
struct Removal {
    AppInfo* app = nullptr;
    std::vector<Target> targets;
    // Objects whose content moves, with their new index.
    std::vector<std::pair<GC_Object*, uint64_t>> moved;
    std::vector<Write> writes;
    // How many of the writes rewrite the directories of the removed objects (they come first).
    size_t directoryWrites = 0;
};

bool isDeletable(uint32_t type) {
    return type == GC_Object::TYPE_PRIVATE_KEY || type == GC_Object::TYPE_PUBLIC_KEY ||
           type == GC_Object::TYPE_CERTIFICATE || type == GC_Object::TYPE_DATA;
}

// The application and directory record of an object that is to be removed; 0, or the failure
// logged under `func`.
int locateDeletable(GC_DataPKCS15& layout, const char* func, GC_Object* object, AppInfo** app, ObjectInfo** record) {
    const int result = layout.findObjectInfo(object, app, record);
    if (result != 0) {
        GC_LoggerC::ret2f(func, kLogFile, __LINE__, kErrMask, result, "Cannot find object info | %ld",
                          static_cast<long>(result));
        return result;
    }
    if (!isDeletable(object->type)) {
        GC_LoggerC::ret2(func, kLogFile, __LINE__, kErrMask, kGeneralFailure, "Cannot recognize object type");
        return kGeneralFailure;
    }
    return 0;
}

// Whether the entry is the object's: the label and, but for data objects, the ID it reads as.
bool isEntryOf(uint32_t kind, const GC_ASN1::item& entry, GC_Object* object) {
    if (entryLabel(kind, entry) != object->label) return false;
    const Bytes* id = idOf(object);
    return id == nullptr || entryId(kind, entry) == *id;
}

Bytes spanOf(const Image& image, size_t i) {
    const auto start = image.data.begin() + static_cast<std::ptrdiff_t>(image.starts[i]);
    return Bytes(start, start + static_cast<std::ptrdiff_t>(image.sizes[i]));
}

// The area with the entries rebuilt: removed ones left out, changed ones in their new encoding,
// the others as read. What the data shrinks by is filled with 0x00; the bytes behind the old
// data stay as read. -1504 when the entries no longer fit the area.
int rebuild(const Image& image, const std::vector<bool>& removed, const std::map<size_t, Bytes>& replaced, Bytes& out) {
    out.clear();
    for (size_t i = 0; i < image.items.size(); ++i) {
        if (i < removed.size() && removed[i]) continue;
        const auto change = replaced.find(i);
        if (change != replaced.end()) {
            out.insert(out.end(), change->second.begin(), change->second.end());
        } else {
            const auto start = image.data.begin() + static_cast<std::ptrdiff_t>(image.starts[i]);
            out.insert(out.end(), start, start + static_cast<std::ptrdiff_t>(image.sizes[i]));
        }
    }
    if (out.size() > image.data.size()) return kTooBig;
    if (out.size() < image.end) out.resize(image.end, 0x00);
    out.insert(out.end(), image.data.begin() + static_cast<std::ptrdiff_t>(out.size()), image.data.end());
    return 0;
}

// Reads and parses a directory record's area and checks that its entries still stand for the
// record's objects. 0, the read's code, -1100 or (entries and objects out of step) mismatch.
int readRecord(GC_Controller* controller, const char* func, const AppInfo& app, ObjectInfo* record, RecordPlan& plan,
               int mismatch) {
    plan.record = record;
    Bytes read;
    int result = readArea(controller, app.aid, record->path, record->index, record->length, read);
    if (result != 0) {
        GC_LoggerC::ret2f(func, kLogFile, __LINE__, kErrMask, result, "Cannot read object INFO | %ld",
                          static_cast<long>(result));
        return result;
    }
    result = parseImage(std::move(read), plan.image);
    if (result != 0) {
        GC_LoggerC::ret2f(func, kLogFile, __LINE__, kErrMask, kGeneralFailure, "Cannot deserialize object INFO | %i",
                          result);
        return kGeneralFailure;
    }
    plan.positions = objectPositions(record->kind, plan.image.items);
    if (plan.positions.size() != record->objects.size()) {
        GC_LoggerC::ret2(func, kLogFile, __LINE__, kErrMask, mismatch,
                         "Object info data does not match the objects read");
        return mismatch;
    }
    plan.removed.assign(plan.image.items.size(), false);
    return 0;
}

// Plans the removal of the targets (all of one application): their entries, their contents,
// and the lowered index of every other entry behind a removed content. Nothing is written.
int planRemoval(GC_Controller* controller, const char* func, Removal& removal) {
    AppInfo& app = *removal.app;
    std::vector<RecordPlan> records;
    std::vector<FilePlan> files;
    const auto fileFor = [&](const Bytes& path) -> FilePlan* {
        for (FilePlan& file : files) {
            if (file.path == path) return &file;
        }
        return nullptr;
    };

    // The directories of the removed objects, in the application's order.
    for (const auto& record : app.objectInfos) {
        if (!record) continue;
        std::vector<GC_Object*> here;
        for (const Target& target : removal.targets) {
            if (target.record == record.get()) here.push_back(target.object);
        }
        if (here.empty()) continue;

        RecordPlan plan;
        int result = readRecord(controller, func, app, record.get(), plan, kEntryNotFound);
        if (result != 0) return result;
        for (GC_Object* object : here) {
            size_t p = 0;
            while (p < record->objects.size() && record->objects[p].get() != object) ++p;
            // The entry in the object's place must be the object's own; anything else means
            // that the card and the layout disagree, and nothing is touched.
            const size_t position = p < plan.positions.size() ? plan.positions[p] : plan.image.items.size();
            if (position >= plan.image.items.size() || !isEntryOf(record->kind, plan.image.items[position], object)) {
                GC_LoggerC::ret2(func, kLogFile, __LINE__, kErrMask, kEntryNotFound,
                                 "Cannot find object in object info data");
                return kEntryNotFound;
            }
            const GC_ASN1::item& entry = plan.image.items[position];
            plan.removed[position] = true;
            if (object->type != GC_Object::TYPE_PUBLIC_KEY && object->type != GC_Object::TYPE_CERTIFICATE) continue;
            // Private keys live in the card's key store and data objects keep their content.
            const ContentRef ref = entryContent(record->kind, entry);
            if (ref.length == 0 || ref.path.empty()) continue;
            FilePlan* file = fileFor(ref.path);
            if (file == nullptr) {
                files.push_back(FilePlan{ref.path, {}, {}});
                file = &files.back();
            }
            file->cuts.push_back(Cut{ref.index, ref.length});
        }
        records.push_back(std::move(plan));
    }
    const size_t removedRecords = records.size();

    // The content files, and the ranges cut out of them: inside the file, not overlapping.
    for (FilePlan& file : files) {
        unsigned long size = 0;
        const int result = readArea(controller, app.aid, file.path, 0, 0, file.data, &size);
        if (result != 0) {
            GC_LoggerC::ret2(func, kLogFile, __LINE__, kErrMask, result, "Cannot read old object info");
            return result;
        }
        std::sort(file.cuts.begin(), file.cuts.end(), [](const Cut& a, const Cut& b) {
            return a.start != b.start ? a.start < b.start : a.length < b.length;
        });
        // Two removed entries that name the same bytes cut them once.
        file.cuts.erase(
            std::unique(file.cuts.begin(), file.cuts.end(),
                        [](const Cut& a, const Cut& b) { return a.start == b.start && a.length == b.length; }),
            file.cuts.end());
        for (size_t i = 0; i < file.cuts.size(); ++i) {
            const Cut& cut = file.cuts[i];
            if (cut.start > file.data.size() || cut.length > file.data.size() - cut.start) {
                GC_LoggerC::ret2(func, kLogFile, __LINE__, kErrMask, kTooBig, "Object lies outside its file");
                return kTooBig;
            }
            if (i > 0 && file.cuts[i - 1].start + file.cuts[i - 1].length > cut.start) {
                GC_LoggerC::ret2(func, kLogFile, __LINE__, kErrMask, kGeneralFailure, "Objects overlap in their file");
                return kGeneralFailure;
            }
        }
    }

    // Every other directory of the application with an object in one of those files.
    for (const auto& record : app.objectInfos) {
        if (!record || record->kind == GC_DataPKCS15::KIND_AUTH_OBJECTS) continue;
        bool planned = false;
        for (const RecordPlan& plan : records) planned = planned || plan.record == record.get();
        bool concerned = false;
        for (const auto& object : record->objects)
            concerned = concerned || (object && fileFor(object->path) != nullptr);
        if (planned || !concerned) continue;
        RecordPlan plan;
        const int result = readRecord(controller, func, app, record.get(), plan, kGeneralFailure);
        if (result != 0) return result;
        records.push_back(std::move(plan));
    }

    // Entries behind a cut move down by the bytes cut in front of them; an entry that shares
    // bytes with a cut would point at something else afterwards and stops the removal.
    for (RecordPlan& plan : records) {
        const uint32_t kind = plan.record->kind;
        for (size_t j = 0; j < plan.image.items.size(); ++j) {
            if (plan.removed[j]) continue;
            const GC_ASN1::item& entry = plan.image.items[j];
            const ContentRef ref = entryContent(kind, entry);
            const FilePlan* file = fileFor(ref.path);
            if (file == nullptr) continue;
            uint64_t shift = 0;
            for (const Cut& cut : file->cuts) {
                const bool before = ref.length <= cut.start && ref.index <= cut.start - ref.length;
                if (ref.index >= cut.start + cut.length) {
                    shift += cut.length;
                } else if (!before) {
                    GC_LoggerC::ret2(func, kLogFile, __LINE__, kErrMask, kGeneralFailure,
                                     "Object overlaps a removed object");
                    return kGeneralFailure;
                }
            }
            if (shift == 0) continue;

            const uint64_t index = ref.index - shift;
            GC_ASN1::item changed = entry;
            int result = GC_ASN1::modifyTag(changed, indexPath(kind, entry), derInteger(index), 0);
            Bytes encoded;
            if (result == 0) result = reencodeEntry(changed, entry, spanOf(plan.image, j), encoded);
            if (result != 0) {
                GC_LoggerC::ret2f(func, kLogFile, __LINE__, kErrMask, kGeneralFailure, "Error when modify a asn1 | %i",
                                  result);
                return kGeneralFailure;
            }
            plan.reencoded[j] = std::move(encoded);
            const auto at = std::find(plan.positions.begin(), plan.positions.end(), j);
            if (at != plan.positions.end()) {
                GC_Object* object = plan.record->objects[static_cast<size_t>(at - plan.positions.begin())].get();
                removal.moved.emplace_back(object, index);
            }
        }
    }

    // The writes: the removed objects' directories, the content files, the other directories.
    const auto addRecord = [&](const RecordPlan& plan) {
        Bytes updated;
        if (rebuild(plan.image, plan.removed, plan.reencoded, updated) != 0) {
            GC_LoggerC::ret2(func, kLogFile, __LINE__, kErrMask, kTooBig, "Data size is too big");
            return false;
        }
        addChange(removal.writes, app.aid, plan.record->path, plan.record->index, plan.image.data, updated);
        return true;
    };
    for (size_t i = 0; i < removedRecords; ++i) {
        if (!addRecord(records[i])) return kTooBig;
    }
    removal.directoryWrites = removal.writes.size();
    for (const FilePlan& file : files) {
        // The bytes behind each cut move down; the file keeps its size, filled up with 0x00.
        Bytes updated;
        uint64_t from = 0;
        for (const Cut& cut : file.cuts) {
            updated.insert(updated.end(), file.data.begin() + static_cast<std::ptrdiff_t>(from),
                           file.data.begin() + static_cast<std::ptrdiff_t>(cut.start));
            from = cut.start + cut.length;
        }
        updated.insert(updated.end(), file.data.begin() + static_cast<std::ptrdiff_t>(from), file.data.end());
        updated.resize(file.data.size(), 0x00);
        addChange(removal.writes, app.aid, file.path, 0, file.data, updated);
    }
    for (size_t i = removedRecords; i < records.size(); ++i) {
        if (!addRecord(records[i])) return kTooBig;
    }
    if (overlapping(removal.writes)) {
        GC_LoggerC::ret2(func, kLogFile, __LINE__, kErrMask, kGeneralFailure, "Object info areas share bytes");
        return kGeneralFailure;
    }
    return 0;
}

// After every write succeeded: moved objects take their new index, removed ones leave the
// container (when given) and the layout.
void commitRemoval(Removal& removal, GC_Container* container) {
    for (const auto& [object, index] : removal.moved) object->index = index;
    for (const Target& target : removal.targets) {
        if (container != nullptr) container->deleteObject(target.object);
        GC_DataPKCS15::deleteObjectFromObjectInfo(target.object, target.record);
    }
}

}  // namespace

int GC_DataPKCS15::deleteObject(GC_Object* object) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (object == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "Object is nullptr");
        return kNotFound;
    }
    Removal removal;
    ObjectInfo* record = nullptr;
    int result = locateDeletable(*this, __func__, object, &removal.app, &record);
    if (result != 0) return result;
    removal.targets.push_back(Target{object, record});
    result = planRemoval(controller, __func__, removal);
    if (result != 0) return result;

    size_t failed = 0;
    std::vector<int> restores;
    result = runWrites(controller, removal.writes, failed, restores);
    if (result != 0) {
        // restores runs from the failed write back to the first one, the directory's.
        const long first = restores.empty() ? 0 : restores.back();
        const long last = restores.empty() ? 0 : restores.front();
        if (failed < removal.directoryWrites) {
            GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, result,
                              "Cannot update new object info | restore result %ld", first);
        } else {
            GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, result,
                              "Cannot update new object | restore result1=%ld restore result2=%ld", first, last);
        }
        return result;
    }

    commitRemoval(removal, nullptr);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_DataPKCS15::initContainer(std::shared_ptr<GC_Container>& container, std::string text) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!container) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "Container is nullptr");
        return kNotFound;
    }

    // The container's objects, grouped by application; all go or none.
    std::vector<GC_Object*> objects;
    container->getObjects(objects);
    objects.erase(std::remove(objects.begin(), objects.end(), nullptr), objects.end());
    std::vector<Removal> removals;
    for (GC_Object* object : objects) {
        app_info* app = nullptr;
        object_info* record = nullptr;
        if (const int result = locateDeletable(*this, __func__, object, &app, &record); result != 0) return result;
        auto removal = std::find_if(removals.begin(), removals.end(), [&](const Removal& r) { return r.app == app; });
        if (removal == removals.end()) {
            removals.emplace_back();
            removals.back().app = app;
            removal = removals.end() - 1;
        }
        removal->targets.push_back(Target{object, record});
    }
    std::vector<Write> writes;
    for (Removal& removal : removals) {
        const int result = planRemoval(controller, __func__, removal);
        if (result != 0) return result;
        writes.insert(writes.end(), removal.writes.begin(), removal.writes.end());
    }
    const size_t objectWrites = writes.size();

    // The PIN entry gets the new label when the container's name holds it.
    pin_info* pin = nullptr;
    if (!text.empty() && container->label.find(text) != std::string::npos && container->pin) {
        app_info* pinApp = nullptr;
        for (auto it = applications.rbegin(); it != applications.rend(); ++it) {
            const auto& app = *it;
            if (!app || pin != nullptr) continue;
            for (const auto& record : app->pinInfos) {
                if (record && record->containerPin == container->pin.get()) {
                    pin = record.get();
                    pinApp = app.get();
                    break;
                }
            }
        }
        if (pin != nullptr) {
            Bytes read;
            int result = readArea(controller, pinApp->aid, pin->aodfPath, pin->aodfOffset, pin->aodfLength, read);
            if (result != 0) {
                GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error when read a file");
                return result;
            }
            Image aodf;
            result = parseImage(std::move(read), aodf);
            if (result != 0) {
                GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure,
                                  "Error when deserialize a file contnet | %i", result);
                return kGeneralFailure;
            }
            // The PIN's entry: a PIN object (SEQUENCE with common object and common
            // authentication attributes) with the PIN's label and auth id. Other
            // authentication objects are passed over, as the reader passes them over.
            size_t found = aodf.items.size();
            for (size_t i = 0; i < aodf.items.size() && found == aodf.items.size(); ++i) {
                const GC_ASN1::item& entry = aodf.items[i];
                if (entry.tag != Bytes{kSequence}) continue;
                const std::vector<GC_ASN1::item> attributes = findAll(entry, {kSequence, kSequence});
                if (attributes.size() < 2) continue;
                if (textAt(attributes[0], {kSequence, kUtf8String}) == pin->label &&
                    byteAt(attributes[1], {kSequence, kOctetString}) == pin->authId) {
                    found = i;
                }
            }
            if (found == aodf.items.size()) {
                pin = nullptr;
            } else {
                GC_ASN1::item changed = aodf.items[found];
                result =
                    GC_ASN1::modifyTag(changed, {kSequence, kSequence, kUtf8String}, GC_CommonStr::str2Bytes(text), 0);
                Bytes encoded;
                if (result == 0) result = reencodeEntry(changed, aodf.items[found], spanOf(aodf, found), encoded);
                if (result != 0) {
                    GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure,
                                      "Error when modify a asn1 | %i", result);
                    return kGeneralFailure;
                }
                Bytes updated;
                if (rebuild(aodf, {}, {{found, encoded}}, updated) != 0) {
                    // The area ends where the next one may begin: a longer label must fit it.
                    GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kTooBig, "Data size is too big");
                    return kTooBig;
                }
                addChange(writes, pinApp->aid, pin->aodfPath, pin->aodfOffset, aodf.data, updated);
            }
        }
    }

    if (overlapping(writes)) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure, "Object info areas share bytes");
        return kGeneralFailure;
    }
    size_t failed = 0;
    std::vector<int> restores;
    int result = runWrites(controller, writes, failed, restores);
    if (result != 0) {
        if (failed < objectWrites) {
            GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, result, "Error when update a object | %ld",
                              static_cast<long>(result));
        } else {
            GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error when update a file");
        }
        return result;
    }

    for (Removal& removal : removals) commitRemoval(removal, container.get());
    if (pin != nullptr) {
        pin->label = text;
        container->label = container->appLabel.empty() ? text : container->appLabel + "(" + text + ")";
    }
    if (objects.empty()) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kEntryNotFound, "Object not find");
        return kEntryNotFound;
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_DataPKCS15::deleteObjectFromAppInfo(GC_Object* object) {
    app_info* app = nullptr;
    object_info* record = nullptr;
    int result = findObjectInfo(object, &app, &record);
    if (result != 0) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error finding obj info");
        return result;
    }
    result = deleteObjectFromObjectInfo(object, record);
    if (result != 0) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error deleting object from object info");
        return result;
    }
    return 0;
}

int GC_DataPKCS15::deleteObjectFromObjectInfo(GC_Object* object, object_info* info) {
    if (object == nullptr || info == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "Object is nullptr");
        return kNotFound;
    }
    auto& objects = info->objects;
    const auto it =
        std::find_if(objects.begin(), objects.end(), [&](const auto& held) { return held.get() == object; });
    if (it != objects.end()) objects.erase(it);
    return 0;
}

int GC_DataPKCS15::findObjectTypes(app_info* app, GC_Object* object, std::vector<object_info*>& out) {
    out.clear();
    if (app == nullptr || object == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "Param is nullptr");
        return kNotFound;
    }
    for (const auto& record : app->objectInfos) {
        if (record && record->kind == object->type) out.push_back(record.get());
    }
    return 0;
}
