// A paste from untrusted bytes: read (which verifies its own signature) and
// opened against the fixed puzzle, pin and epoch key of tests/data/sealed.
// Properties: no crash or undefined behaviour; a paste that reads passes
// verify_paste again; one that opens was read and verified first.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "timelock/formats/paste.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    const zt::fuzz::SealedPuzzle& puzzle = zt::fuzz::sealed_puzzle();
    auto paste = zt::read_paste(zt::fuzz::as_view(data, size));
    if (!paste) return 0;
    require(zt::verify_paste(*paste).ok());
    auto plaintext = zt::open_paste(puzzle.manifest, puzzle.pin, *paste, puzzle.epoch_key);
    static_cast<void>(plaintext);
    return 0;
}
