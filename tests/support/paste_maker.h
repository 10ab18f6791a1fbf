// Seals and signs pastes for tests, as the archiving service would: paste
// context, content key, signed message and signature built here from their
// published layout (not with the program's own builders), XChaCha20-Poly1305
// from libsodium, Ed25519 signatures with the test service key by default.
//
// Thread safety: plain functions; random values come from the OS.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "timelock/base/secret.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/paste.h"

namespace zt::test {

// `plaintext` sealed for `manifest` under `epoch_key` with random artefact
// names, tag id, nonce and wrapped key, then signed by `signer`, whose
// public key becomes service_public_key.
Paste seal_paste(const SignedManifest& manifest, const Key32& epoch_key, std::string_view plaintext,
                 const Ed25519KeyPair& signer);
Paste seal_paste(const SignedManifest& manifest, const Key32& epoch_key, std::string_view plaintext);

// Replaces the ciphertext with `plaintext` sealed under `epoch_key` for the
// paste's current fields (context as the paste now reads), then re-signs.
void reseal_paste(Paste& paste, const Key32& epoch_key, std::string_view plaintext, const Ed25519KeyPair& signer);

// Signs the paste's current fields with `signer` (service_public_key is
// left as it is), so a test can make a validly signed paste of any content.
void sign_paste(Paste& paste, const Ed25519KeyPair& signer);

// JSON object text, members in declared order, one per line.
std::string paste_json(const Paste& paste);

// The thirteen-element positional array.
std::string paste_json_positional(const Paste& paste);

}  // namespace zt::test
