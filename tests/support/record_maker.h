// Seals encrypted records for tests, as the service that produces them
// would: record key and associated data built here from their published
// layout (not with the program's own builders), XChaCha20-Poly1305 from
// libsodium. A record the program opens was therefore sealed by independent
// code.
//
// Thread safety: plain functions; nonces come from the OS.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "timelock/base/secret.h"
#include "timelock/formats/manifest.h"

namespace zt::test {

// A puzzle to seal for: a random epoch key and a manifest signed by the test
// service key whose key_commitment is that key's.
struct TestPuzzle {
    Key32 epoch_key;
    SignedManifest manifest;
};
TestPuzzle make_test_puzzle(std::uint64_t epoch = 42);

// A random 32-byte key.
Key32 random_key();

// A record's six members as a producer writes them (ciphertext owned here,
// unlike the program's EncryptedRecord, which borrows it from a document).
struct RecordFields {
    std::uint32_t version = 1;
    std::uint64_t epoch = 0;
    std::uint64_t sequence = 0;
    std::string puzzle_id;
    std::string nonce;
    std::string ciphertext;
};

// `plaintext` sealed for `manifest` under `epoch_key`: version 1, the
// manifest's epoch and id, a random nonce, lowercase hex.
RecordFields seal_record(const SignedManifest& manifest, const Key32& epoch_key, std::string_view plaintext,
                         std::uint64_t sequence = 5);

// JSON object text, members in declared order, no white space.
std::string record_json(const RecordFields& record);

// The six-element positional array.
std::string record_json_positional(const RecordFields& record);

// HKDF-SHA256 with one 32-byte output block, written out from RFC 5869 on
// libsodium's HMAC-SHA-256 (shared with the paste maker).
Key32 hkdf_sha256(std::string_view salt, const Key32& key, std::string_view info);

// Lenient hex to bytes (as text, for building byte strings); throws on bad hex.
std::string unhex(std::string_view hex);

}  // namespace zt::test
