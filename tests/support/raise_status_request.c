/* A library whose initialisation sends SIGUSR1 to its own process: preloaded
   into the program, it is the earliest moment a request can come from
   inside, before any initialisation of the program's libraries and of the
   program itself. Only the program's .preinit_array runs before it. */
#include <signal.h>

__attribute__((constructor)) static void raise_status_request(void) { raise(SIGUSR1); }
