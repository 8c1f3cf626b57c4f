/* The Windows C runtime's rand/srand generator, shared by every module of the process.
 * glibc's rand has another sequence and range; code that must draw as the Windows runtime
 * does (15-bit draws, per-thread state seeded with 1) calls these. */
#pragma once

#define CRT_RAND_MAX 0x7fff

#ifdef __cplusplus
extern "C" {
#endif

void crt_srand(unsigned int seed);
int crt_rand(void);

#ifdef __cplusplus
}
#endif
