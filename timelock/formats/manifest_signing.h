// Manifest signing: the exact bytes a service signs, the manifest id that
// names a signed manifest, signing, and verification against the pinned
// service key.
//
// Signing message (integers big-endian, hex fields decoded to raw bytes):
//   34  "zanth-timelock-signed-manifest-v1" and a zero byte
//    4  protocol version 1          8  epoch
//    5  "2.0.1"                    40  RandomX commit       2  "v2"
//   32  dataset_key                 8  iterations           4  segments
//   32  seed_1                 60 × n  wrapped keys        32  key_commitment
// 201 + 60 × n bytes in all. The identity bytes append the raw public key
// and signature; the manifest id is the lowercase hex of their SHA-256, so
// any change to the message, key or signature changes the id.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "timelock/base/bytes.h"
#include "timelock/base/error.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/manifest.h"

namespace zt {

inline constexpr std::size_t kSigningMessageFixedSize = 201;
inline constexpr std::size_t kSigningMessagePerSegment = 60;

inline constexpr std::string_view kSignerMismatch = "service signer does not match attestation pin";

// Validates the manifest, then decodes its hex fields in message order; the
// first failure is returned with the validation's message.
Result<Bytes> manifest_signing_message(const Manifest& manifest);

// The signing message, then the 32-byte public key and the 64-byte signature.
Result<Bytes> manifest_identity_bytes(const SignedManifest& manifest);

// 64 lowercase hex digits. Cannot fail for a record from read_signed_manifest.
Result<std::string> manifest_id(const SignedManifest& manifest);

// Signs the manifest's signing message (deterministic: the same key and
// manifest always give the same signature and id). Fails only validation.
Result<SignedManifest> sign_manifest(const Manifest& manifest, const Ed25519KeyPair& keys);

// In this order: the public key as 64 canonical hex digits; equal to the pin
// ("service signer does not match attestation pin"); the pin decompresses;
// the signing message; the signature as 128 canonical hex digits; strict
// Ed25519 verification ("signature error: ...").
Result<void> verify_manifest(const SignedManifest& manifest, const Bytes32& pin);

}  // namespace zt
