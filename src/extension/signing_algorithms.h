#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/object.h"
#include "extension/card_driver.h"

namespace ctk {
class TokenKeyAlgorithm;
}

// Which of the platform's signature algorithms the token offers for a key, and how it signs each.

// Whether one of the container's mechanisms offers the algorithm for a key of that type. A
// mechanism counts only when one of its two signing capability bytes is set; RSA keys are offered
// PKCS#1 v1.5 over a SHA-1, SHA-256, SHA-384 or SHA-512 digest and the raw signature, EC keys
// ECDSA over a digest as given and over a SHA-384 or SHA-512 digest.
bool mechanismsOffer(const std::vector<std::shared_ptr<GC_Container::mechanism_info>>& mechanisms,
                     GC_Object::key_type keyType, const ctk::TokenKeyAlgorithm& algorithm);

// The Driver algorithm that signs the platform's algorithm; none for an algorithm the card
// library has no signature for.
std::optional<CardDriver::signature_alghoritm> driverAlgorithm(const ctk::TokenKeyAlgorithm& algorithm);
