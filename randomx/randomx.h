/*
 * RandomX: the public C API of this project's RandomX library.
 *
 * This header is the library's only public surface. Nothing here throws: an
 * allocation failure is reported by a NULL return, never by aborting.
 *
 * Flags:
 *   RANDOMX_FLAG_DEFAULT      0    portable code paths, v1 algorithm
 *   RANDOMX_FLAG_LARGE_PAGES  1    explicit huge pages (hugetlbfs) where the
 *                                  system has enough reserved; otherwise the
 *                                  memory is offered to transparent huge
 *                                  pages, as without the flag
 *   RANDOMX_FLAG_HARD_AES     2    hardware AES rounds (AES-NI on x86-64, the
 *                                  cryptography extension on ARM64) for
 *                                  AesGenerator1R/4R, AesHash1R and the v2
 *                                  register mixing; results equal the
 *                                  portable software AES bit for bit
 *   RANDOMX_FLAG_FULL_MEM     4    the VM reads dataset items from a dataset
 *                                  (fast mode); without it, items are computed
 *                                  from the cache (light mode)
 *   RANDOMX_FLAG_JIT          8    compile to machine code (x86-64): the cache's
 *                                  SuperscalarHash programs (given to
 *                                  randomx_alloc_cache) and each VM program
 *                                  (given to randomx_create_vm); where code
 *                                  cannot run, the portable paths run instead
 *   RANDOMX_FLAG_SECURE       16   no writable mapping of a VM's compiled code
 *                                  exists while it can run: one mapping is
 *                                  switched between writable and executable
 *                                  around every compilation (mprotect).
 *                                  Without it the code is written and run
 *                                  through two views of one memory object:
 *                                  no mapping is ever both writable and
 *                                  executable, but a writable alias of the
 *                                  running code exists. The cache's compiled
 *                                  code always follows the SECURE rule
 *   RANDOMX_FLAG_ARGON2_SSSE3 32   Argon2d fill with SSSE3
 *   RANDOMX_FLAG_ARGON2_AVX2  64   Argon2d fill with AVX2
 *   RANDOMX_FLAG_ARGON2       96   both of the above
 *   RANDOMX_FLAG_V2           128  the v2 algorithm; without it, v1
 *
 * Thread safety: a cache and a dataset may be read by any number of VMs on any
 * number of threads once initialised; initialising them while a VM uses them is
 * undefined. A VM belongs to one thread at a time. randomx_init_dataset may be
 * called concurrently on disjoint item ranges.
 */
#ifndef RANDOMX_H
#define RANDOMX_H

#include <stddef.h>
#include <stdint.h>

#define RANDOMX_HASH_SIZE 32

typedef enum {
    RANDOMX_FLAG_DEFAULT = 0,
    RANDOMX_FLAG_LARGE_PAGES = 1,
    RANDOMX_FLAG_HARD_AES = 2,
    RANDOMX_FLAG_FULL_MEM = 4,
    RANDOMX_FLAG_JIT = 8,
    RANDOMX_FLAG_SECURE = 16,
    RANDOMX_FLAG_ARGON2_SSSE3 = 32,
    RANDOMX_FLAG_ARGON2_AVX2 = 64,
    RANDOMX_FLAG_ARGON2 = 96,
    RANDOMX_FLAG_V2 = 128
} randomx_flags;

#if defined(__cplusplus)
/* C++ callers combine flags as the enum type itself. */
constexpr randomx_flags operator|(randomx_flags a, randomx_flags b) {
    return static_cast<randomx_flags>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr randomx_flags operator&(randomx_flags a, randomx_flags b) {
    return static_cast<randomx_flags>(static_cast<unsigned>(a) & static_cast<unsigned>(b));
}
inline randomx_flags &operator|=(randomx_flags &a, randomx_flags b) { return a = a | b; }
#endif

typedef struct randomx_dataset randomx_dataset;
typedef struct randomx_cache randomx_cache;
typedef struct randomx_vm randomx_vm;

#if defined(__cplusplus)
extern "C" {
#endif

/* The flags best suited to this processor and system: HARD_AES where the
 * processor has AES rounds, ARGON2_SSSE3/ARGON2_AVX2 where those instruction
 * sets exist, and JIT where this library has compilers for the processor
 * (x86-64) and generated code can be mapped and run. */
randomx_flags randomx_get_flags(void);

/* Allocates a cache (256 MiB plus the SuperscalarHash programs). Honoured
 * flags: LARGE_PAGES, JIT (the programs are compiled at each initialisation)
 * and the ARGON2 bits. Returns NULL if memory cannot be obtained. The memory
 * is 2 MiB aligned and offered to transparent huge pages. */
randomx_cache *randomx_alloc_cache(randomx_flags flags);

/* Fills the cache from a key of 0 to 60 bytes (Argon2d, then the eight
 * SuperscalarHash programs). Re-initialising with the same key is a no-op. */
void randomx_init_cache(randomx_cache *cache, const void *key, size_t keySize);

/* randomx_init_cache that can be given up: stop(context) is called between
 * the twelve Argon2d slices (some 40 ms apart) and, when it returns non-zero,
 * the initialisation ends there and 0 is returned; the cache then holds no
 * key (initialise it again before use). 1 when the cache is initialised. A
 * NULL stop is never called. */
int randomx_init_cache_stoppable(randomx_cache *cache, const void *key, size_t keySize,
                                 int (*stop)(const void *context), const void *context);

/* The cache's Argon2d memory (262144 blocks of 1024 bytes). */
void *randomx_get_cache_memory(randomx_cache *cache);

/* Releases a cache; NULL is ignored. */
void randomx_release_cache(randomx_cache *cache);

/* Allocates a dataset (2080 MiB). Honoured flag: LARGE_PAGES. Returns NULL if
 * memory cannot be obtained. */
randomx_dataset *randomx_alloc_dataset(randomx_flags flags);

/* Number of 64-byte items in a dataset: 34078719. */
unsigned long randomx_dataset_item_count(void);

/* Computes items [startItem, startItem + itemCount) from an initialised cache,
 * on the calling thread (with the cache's compiled code when it has some).
 * Calls on disjoint ranges may run concurrently. */
void randomx_init_dataset(randomx_dataset *dataset, randomx_cache *cache,
                          unsigned long startItem, unsigned long itemCount);

/* The dataset's memory (randomx_dataset_item_count() * 64 bytes). */
void *randomx_get_dataset_memory(randomx_dataset *dataset);

/* Releases a dataset; NULL is ignored. */
void randomx_release_dataset(randomx_dataset *dataset);

/* Creates a VM. With FULL_MEM a dataset is required (the cache may be NULL);
 * without it an initialised cache is required. Honoured flags: HARD_AES,
 * FULL_MEM, V2, JIT (the compiler where it can run, else the interpreter),
 * LARGE_PAGES (scratchpad; without it the 2 MiB scratchpad is 2 MiB aligned
 * and offered to transparent huge pages) and SECURE. Returns NULL if memory
 * cannot be obtained or a required argument is missing. */
randomx_vm *randomx_create_vm(randomx_flags flags, randomx_cache *cache,
                              randomx_dataset *dataset);

/* Rebinds a light-mode VM to another initialised cache / a full-mode VM to
 * another dataset. Anything else (NULL, a cache never initialised, a cache
 * for a full-mode VM) is ignored and the VM keeps its source. */
void randomx_vm_set_cache(randomx_vm *machine, randomx_cache *cache);
void randomx_vm_set_dataset(randomx_vm *machine, randomx_dataset *dataset);

/* Destroys a VM, wiping its registers and compiled code; NULL is ignored. */
void randomx_destroy_vm(randomx_vm *machine);

/* Writes the 32-byte RandomX hash of input to output. The VM's registers,
 * program seeds and generated programs are wiped before it returns. */
void randomx_calculate_hash(randomx_vm *machine, const void *input, size_t inputSize,
                            void *output);

#if defined(__cplusplus)
}
#endif

#endif /* RANDOMX_H */
