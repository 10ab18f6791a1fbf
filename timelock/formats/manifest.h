// The puzzle manifest: its record types, its JSON text and its validation.
//
// A Manifest holds everything a solver needs to redo each segment's serial
// work and to check the result; a SignedManifest adds the issuing service's
// Ed25519 public key and signature (the signed bytes and the check are in
// manifest_signing.h). Byte values stay hex text exactly as read or produced;
// they are decoded only where bytes are needed.
//
// The reader refuses anything that is not a well-formed manifest in every
// field, so a record that comes out of read_signed_manifest differs from a
// trusted one only in that its signature is still unchecked.
//
// Thread safety: plain values and pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"

namespace zt {

struct Manifest {
    std::uint32_t version = 0;
    std::uint64_t epoch = 0;
    std::string randomx;
    std::string randomx_commit;
    std::string randomx_algorithm;
    std::string dataset_key;                // 64 hex digits
    std::uint64_t iterations = 0;
    std::uint32_t segments = 0;
    std::string seed_1;                     // 64 hex digits
    std::vector<std::string> wrapped_keys;  // `segments` entries of 120 hex digits
    std::string key_commitment;             // 64 hex digits

    friend bool operator==(const Manifest&, const Manifest&) = default;
};

struct SignedManifest {
    Manifest puzzle;
    std::string service_public_key;  // 64 hex digits
    std::string service_signature;   // 128 hex digits

    friend bool operator==(const SignedManifest&, const SignedManifest&) = default;
};

inline constexpr std::size_t kManifestSizeLimit = 16384;

inline constexpr std::string_view kManifestTooLarge = "manifest exceeds size limit";
inline constexpr std::string_view kUnsupportedProtocol = "unsupported puzzle protocol";
inline constexpr std::string_view kInvalidWorkParameters = "invalid work parameters";

// Checks, in this order, the protocol identifiers ("unsupported puzzle
// protocol"), the work limits and the wrapped-key count ("invalid work
// parameters"), then canonical hex of dataset_key, seed_1, each wrapped key
// and key_commitment ("noncanonical hex or wrong length").
Result<void> validate_manifest(const Manifest& manifest);

// The fixed pretty layout: two-space indentation, members in field order,
// one wrapped key per line, no final line break.
std::string write_signed_manifest(const SignedManifest& manifest);

// Size limit, strict JSON (object or positional array form at both levels),
// validate_manifest, then canonical hex of service_public_key and
// service_signature. The first failure decides the error.
Result<SignedManifest> read_signed_manifest(std::string_view text);

}  // namespace zt
