// For processors without compilers of their own: every program runs in the
// interpreter and every dataset item through the portable executors.
#include "randomx/arch.h"

namespace rx {

VmCodeWriter vm_code_writer(Variant /*variant*/) noexcept { return nullptr; }

DatasetCodeWriter dataset_code_writer() noexcept { return {}; }

}  // namespace rx
