// One-time libsodium initialisation for the crypto module's own use.
//
// Every entry point of the crypto and Ed25519 modules calls ensure_sodium()
// first, so no caller has to remember sodium_init(). Thread safety: safe to
// call from any number of threads at once; the first call initialises.
#pragma once

namespace zt::detail {

// Initialises libsodium once. If libsodium cannot initialise (it cannot
// select its implementations), nothing in this module can work: the process
// is aborted with a diagnostic.
void ensure_sodium();

}  // namespace zt::detail
