// SuperscalarHash on many items at once. Every operation is dispatched once
// and applied to all kSuperscalarLanes items, so the dispatch cost is spread
// thin and the per-item loops vectorise. The loop body (superscalar_lanes_body.h)
// is compiled here for the baseline instruction set; an architecture may
// offer builds for wider ones (on x86-64: AVX2, and AVX-512 for its 64-bit
// multiply), chosen on first use.
#include "randomx/arch.h"
#include "randomx/superscalar_executor.h"
#include "randomx/superscalar_lanes_body.h"

namespace rx {
namespace {

void run_lanes_baseline(const CompiledSuperscalar& program, SuperscalarLanes& lanes) {
    superscalar_lanes::run(program, lanes);
}

SuperscalarLanesFunction select_lanes_function() {
    const SuperscalarLanesFunction wider = superscalar_lanes_function();
    return wider != nullptr ? wider : run_lanes_baseline;
}

}  // namespace

void execute_superscalar_lanes(const CompiledSuperscalar& program, SuperscalarLanes& lanes) {
    static const SuperscalarLanesFunction fn = select_lanes_function();
    fn(program, lanes);
}

}  // namespace rx
