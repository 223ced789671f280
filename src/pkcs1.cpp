#include "pkcs1.h"

int GC_PKCS1::EMSA_v1_5_encode(std::vector<unsigned char>, unsigned long, GC_Security::data_format,
                               std::vector<unsigned char>&, bool) {
    return -1;
}

int GC_PKCS1::EMSA_v1_5_decode(std::vector<unsigned char>, unsigned long, GC_Security::data_format&,
                               std::vector<unsigned char>&) {
    return -3;
}

int GC_PKCS1::EMSA_v1_5_checkHash(std::vector<unsigned char>, GC_Security::data_format&) {
    return -3;
}
