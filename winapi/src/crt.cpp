// The Windows C runtime's rand/srand: a per-thread linear congruential generator, 15-bit draws.
#include <crtrand.h>

namespace {
thread_local unsigned int t_holdrand = 1;  // the runtime's initial seed
}

extern "C" {

void crt_srand(unsigned int seed) {
    t_holdrand = seed;
}

int crt_rand(void) {
    t_holdrand = t_holdrand * 214013u + 2531011u;
    return static_cast<int>((t_holdrand >> 16) & CRT_RAND_MAX);
}

}  // extern "C"
