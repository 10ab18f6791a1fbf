#include "timelock/formats/manifest.h"

#include <array>

#include "timelock/base/crypto.h"
#include "timelock/base/protocol.h"
#include "timelock/json/reader.h"
#include "timelock/json/text.h"

namespace zt {

template <>
struct json::Schema<Manifest> {
    static constexpr std::string_view name = "Manifest";
    static constexpr std::array fields{
        json::field<&Manifest::version>("version"),
        json::field<&Manifest::epoch>("epoch"),
        json::field<&Manifest::randomx>("randomx"),
        json::field<&Manifest::randomx_commit>("randomx_commit"),
        json::field<&Manifest::randomx_algorithm>("randomx_algorithm"),
        json::field<&Manifest::dataset_key>("dataset_key"),
        json::field<&Manifest::iterations>("iterations"),
        json::field<&Manifest::segments>("segments"),
        json::field<&Manifest::seed_1>("seed_1"),
        json::field<&Manifest::wrapped_keys>("wrapped_keys"),
        json::field<&Manifest::key_commitment>("key_commitment"),
    };
};

template <>
struct json::Schema<SignedManifest> {
    static constexpr std::string_view name = "SignedManifest";
    static constexpr std::array fields{
        json::field<&SignedManifest::puzzle>("puzzle"),
        json::field<&SignedManifest::service_public_key>("service_public_key"),
        json::field<&SignedManifest::service_signature>("service_signature"),
    };
};

namespace {

Result<void> require_canonical_hex(std::string_view text, std::size_t bytes) {
    ZT_TRY(decode_hex_fixed(text, bytes));
    return success();
}

}  // namespace

Result<void> validate_manifest(const Manifest& m) {
    if (m.version != protocol::kProtocolVersion || m.randomx != protocol::kRandomxRelease ||
        m.randomx_commit != protocol::kRandomxCommit || m.randomx_algorithm != protocol::kRandomxAlgorithm) {
        return Error(std::string(kUnsupportedProtocol));
    }
    if (!protocol::segment_count_allowed(m.segments) || m.wrapped_keys.size() != m.segments ||
        !protocol::iterations_allowed(m.iterations)) {
        return Error(std::string(kInvalidWorkParameters));
    }
    // Same order as the signing message uses the fields.
    ZT_TRY(require_canonical_hex(m.dataset_key, 32));
    ZT_TRY(require_canonical_hex(m.seed_1, 32));
    for (const auto& key : m.wrapped_keys) ZT_TRY(require_canonical_hex(key, 60));
    ZT_TRY(require_canonical_hex(m.key_commitment, 32));
    return success();
}

std::string write_signed_manifest(const SignedManifest& s) {
    const Manifest& m = s.puzzle;
    std::string out;
    out.reserve(1024 + 130 * m.wrapped_keys.size());
    auto member = [&out](std::string_view indent, std::string_view name, const std::string& value, bool last) {
        out.append(indent).append(json::quoted(name)).append(": ").append(value).append(last ? "\n" : ",\n");
    };
    auto text = [](std::string_view value) { return json::quoted(value); };
    auto number = [](std::uint64_t value) { return std::to_string(value); };
    constexpr std::string_view in2 = "  ";
    constexpr std::string_view in4 = "    ";

    out += "{\n";
    out.append(in2).append(json::quoted("puzzle")).append(": {\n");
    member(in4, "version", number(m.version), false);
    member(in4, "epoch", number(m.epoch), false);
    member(in4, "randomx", text(m.randomx), false);
    member(in4, "randomx_commit", text(m.randomx_commit), false);
    member(in4, "randomx_algorithm", text(m.randomx_algorithm), false);
    member(in4, "dataset_key", text(m.dataset_key), false);
    member(in4, "iterations", number(m.iterations), false);
    member(in4, "segments", number(m.segments), false);
    member(in4, "seed_1", text(m.seed_1), false);
    std::string keys = "[]";
    if (!m.wrapped_keys.empty()) {
        keys = "[\n";
        for (std::size_t i = 0; i < m.wrapped_keys.size(); ++i) {
            keys.append("      ").append(text(m.wrapped_keys[i]));
            keys.append(i + 1 < m.wrapped_keys.size() ? ",\n" : "\n");
        }
        keys.append(in4).append("]");
    }
    member(in4, "wrapped_keys", keys, false);
    member(in4, "key_commitment", text(m.key_commitment), true);
    out.append(in2).append("},\n");
    member(in2, "service_public_key", text(s.service_public_key), false);
    member(in2, "service_signature", text(s.service_signature), true);
    out += "}";
    return out;
}

Result<SignedManifest> read_signed_manifest(std::string_view text) {
    if (text.size() > kManifestSizeLimit) return Error(std::string(kManifestTooLarge));
    ZT_TRY_ASSIGN(SignedManifest manifest, json::parse<SignedManifest>(text));
    ZT_TRY(validate_manifest(manifest.puzzle));
    ZT_TRY(require_canonical_hex(manifest.service_public_key, 32));
    ZT_TRY(require_canonical_hex(manifest.service_signature, 64));
    return manifest;
}

}  // namespace zt
