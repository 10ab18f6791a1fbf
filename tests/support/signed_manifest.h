// Builds valid signed manifests for tests, signed with one fixed Ed25519
// seed, so record, paste, checkpoint and solver tests need not repeat the
// manifest's rules.
//
// Thread safety: plain functions; random values come from the OS.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "timelock/base/bytes.h"
#include "timelock/base/secret.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/manifest.h"

namespace zt::test {

// The fixed service signing seed and its public key: the pin under which
// every manifest made here verifies. (The same key signs the conformance
// cases' manifests.)
inline constexpr const char* kServiceSeedHex = "8cf31599ee985b578937c0aa1c79bf4da07ef9d04fc6fd9839913d85246b0078";
inline constexpr const char* kServicePublicKeyHex =
    "26e2cad1287aea4e9352a8cde49bf3aca0479d3e4deaad93d4c08aa7a26ff97f";

Ed25519KeyPair service_keys();
Bytes32 service_pin();

struct ManifestSpec {
    std::uint32_t segments = 7;
    std::uint64_t epoch = 42;
    std::uint64_t iterations = 3;
    std::optional<std::string> seed_1;       // 64 hex digits; random when absent
    std::optional<std::string> dataset_key;  // 64 hex digits; random when absent
    std::optional<Key32> epoch_key;          // key_commitment is its commitment; random when absent
    std::vector<std::string> wrapped_keys;   // empty: `segments` random 120-digit keys
};

// A manifest following `spec` (not validated: the requested values may be bad ones).
Manifest make_manifest(const ManifestSpec& spec = {});

// make_manifest signed with service_keys(); throws std::runtime_error when
// the requested values do not make a valid manifest.
SignedManifest make_signed_manifest(const ManifestSpec& spec = {});

// Lowercase hex of `bytes` random bytes.
std::string random_hex(std::size_t bytes);

}  // namespace zt::test
