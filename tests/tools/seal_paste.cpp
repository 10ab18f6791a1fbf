// seal_paste MANIFEST EPOCH_KEY SIGNING_KEY PLAINTEXT_TEXT OUT: plays the
// service that archives pastes, for tests that drive the program through
// whole sessions: seals PLAINTEXT_TEXT for the manifest under the epoch key,
// signs it with the seed in SIGNING_KEY and writes the paste's JSON to OUT.
// Exits 0, or 1 with a message on standard error.
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/paste_maker.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/input_files.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fputs("usage: seal_paste MANIFEST EPOCH_KEY SIGNING_KEY PLAINTEXT_TEXT OUT\n", stderr);
        return 1;
    }
    auto manifest = zt::read_manifest_file(argv[1]);
    auto epoch_key = zt::read_key_file(argv[2]);
    auto seed = zt::read_key_file(argv[3]);
    if (!manifest || !epoch_key || !seed) {
        std::fputs("seal_paste: cannot read the manifest or a key file\n", stderr);
        return 1;
    }
    const zt::Paste paste =
        zt::test::seal_paste(manifest.value(), epoch_key.value(), argv[4], zt::ed25519_from_seed(seed.value()));
    std::ofstream out(argv[5], std::ios::binary);
    out << zt::test::paste_json(paste);
    return out.good() ? 0 : 1;
}
