#include "tests/support/signed_manifest.h"

#include <stdexcept>

#include "timelock/base/crypto.h"
#include "timelock/base/protocol.h"
#include "timelock/formats/manifest_signing.h"

namespace zt::test {

namespace {

Bytes decode_or_throw(std::string_view hex, std::size_t bytes) {
    auto decoded = decode_hex_fixed(hex, bytes);
    if (!decoded) throw std::runtime_error("bad test hex: " + std::string(hex));
    return std::move(decoded).value();
}

}  // namespace

Ed25519KeyPair service_keys() {
    Bytes seed = decode_or_throw(kServiceSeedHex, 32);
    return ed25519_from_seed(Key32(std::span<const std::uint8_t, 32>(seed.data(), 32)));
}

Bytes32 service_pin() {
    Bytes key = decode_or_throw(kServicePublicKeyHex, 32);
    Bytes32 pin{};
    std::copy(key.begin(), key.end(), pin.begin());
    return pin;
}

std::string random_hex(std::size_t bytes) {
    Bytes buffer(bytes);
    if (!random_bytes(buffer)) throw std::runtime_error("OS randomness failed");
    return encode_hex(buffer);
}

Manifest make_manifest(const ManifestSpec& spec) {
    Manifest m;
    m.version = protocol::kProtocolVersion;
    m.epoch = spec.epoch;
    m.randomx = std::string(protocol::kRandomxRelease);
    m.randomx_commit = std::string(protocol::kRandomxCommit);
    m.randomx_algorithm = std::string(protocol::kRandomxAlgorithm);
    m.dataset_key = spec.dataset_key.value_or(random_hex(32));
    m.iterations = spec.iterations;
    m.segments = spec.segments;
    m.seed_1 = spec.seed_1.value_or(random_hex(32));
    m.wrapped_keys = spec.wrapped_keys;
    if (m.wrapped_keys.empty()) {
        for (std::uint32_t i = 0; i < spec.segments; ++i) m.wrapped_keys.push_back(random_hex(60));
    }
    m.key_commitment = spec.epoch_key ? key_commitment(*spec.epoch_key) : random_hex(32);
    return m;
}

SignedManifest make_signed_manifest(const ManifestSpec& spec) {
    auto signed_manifest = sign_manifest(make_manifest(spec), service_keys());
    if (!signed_manifest) throw std::runtime_error("test manifest: " + signed_manifest.error().message());
    return std::move(signed_manifest).value();
}

}  // namespace zt::test
