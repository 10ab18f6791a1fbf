// Checkpoints from untrusted bytes: the input as one line, and as the tail
// of a log file loaded the way solve resumes. Properties: no crash; a line
// that parses is written back as a line that parses to the same record;
// loading either finds nothing, fails with "checkpoint too large", or
// returns a record that is written back as a line that parses to it.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "timelock/formats/checkpoint.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    static zt::fuzz::InputFile file;
    const std::string_view input = zt::fuzz::as_view(data, size);

    if (auto line = zt::parse_checkpoint(input)) {
        const std::string written = zt::checkpoint_line(*line);
        require(!written.empty() && written.back() == '\n');
        auto again = zt::parse_checkpoint(std::string_view(written).substr(0, written.size() - 1));
        require(again.ok() && *again == *line);
    }

    auto loaded = zt::load_latest_checkpoint(file.hold(input));
    if (!loaded) {
        require(loaded.error().message() == zt::kCheckpointTooLarge);
        return 0;
    }
    if (!*loaded) return 0;
    const std::string line = zt::checkpoint_line(**loaded);
    auto parsed = zt::parse_checkpoint(std::string_view(line).substr(0, line.size() - 1));
    require(parsed.ok() && *parsed == **loaded);
    return 0;
}
