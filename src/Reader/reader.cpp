#include "Reader/reader.h"

int GC_Reader::setParam(void*) {
    return gc_reader::kOk;
}
