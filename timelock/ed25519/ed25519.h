// Ed25519 (RFC 8032): key pairs from seeds, deterministic detached
// signatures, and strict verification.
//
// Strict verification: S must be canonical (< L, top bit clear); the public
// key must decompress; neither R nor the key may be of small order; and the
// cofactorless equation encode([S]B - [k]A) == R must hold byte for byte.
// Failures are "signature error: <cause>" with the cause also as the error's
// one underlying cause:
//   "Cannot use scalar with high-bit set", "Cannot decompress Edwards point",
//   "Verification equation was not satisfied".
//
// Thread safety: pure functions.
#pragma once

#include <span>

#include "timelock/base/bytes.h"
#include "timelock/base/error.h"
#include "timelock/base/secret.h"

namespace zt {

struct Ed25519KeyPair {
    Key32 seed;
    Bytes32 public_key{};
};

Ed25519KeyPair ed25519_from_seed(const Key32& seed);

Bytes64 ed25519_sign(const Ed25519KeyPair& keys, std::span<const std::uint8_t> message);

// True when the 32 bytes decompress to a point of the curve.
bool ed25519_decompresses(const Bytes32& public_key);

// The error a public key that does not decompress is reported with.
Error ed25519_decompress_error();

Result<void> ed25519_verify_strict(const Bytes32& public_key, std::span<const std::uint8_t> message,
                                   const Bytes64& signature);

}  // namespace zt
