// An encrypted record from untrusted bytes, read and opened with the epoch
// key of the fixed puzzle in tests/data/sealed. Properties: no crash or
// undefined behaviour; a record that opens has a plaintext exactly half its
// ciphertext's hex length less the 16-byte tag.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "timelock/formats/record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    const zt::fuzz::SealedPuzzle& puzzle = zt::fuzz::sealed_puzzle();
    auto record = zt::read_encrypted_record(zt::fuzz::as_view(data, size));
    if (!record) return 0;
    auto plaintext = zt::open_record(puzzle.manifest, puzzle.epoch_key, *record);
    if (plaintext) require(plaintext->size() + 16 == record->ciphertext.text().size() / 2);
    return 0;
}
