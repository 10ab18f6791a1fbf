#include "cli/compiled_code_warning.h"

#include <cstdio>

#include "randomx/arch.h"

namespace zt::cli {
namespace {

constexpr const char* kWarning =
    "warning: this machine runs RandomX without compiled code (the interpreter), several times slower than "
    "compiled code: a puzzle calibrated here opens several times early for anyone with compiled code.";

}  // namespace

// Never without JIT in randomx_get_flags(), and not where the compiler lacks
// what v2 needs (on x86-64, AES-NI for the register mixing).
bool hashes_compiled() {
    static const bool compiled = rx::make_compiler(rx::Variant::V2) != nullptr;
    return compiled;
}

std::string compiled_code_summary_warning() {
    return hashes_compiled() ? std::string() : std::string("  ") + kWarning + "\n";
}

void warn_without_compiled_code() {
    if (hashes_compiled()) return;
    std::fputs("zanth-timelock: ", stderr);
    std::fputs(kWarning, stderr);
    std::fputs("\n", stderr);
}

}  // namespace zt::cli
