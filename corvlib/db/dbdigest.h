// A keyed 64-bit digest of a byte run, used to know a database block read again for one that
// passed the checks before. Sixty-four lanes of 32-bit xor, multiply and rotate over the
// 256-byte pieces, then the lanes and the tail folded in. The vectorised kernel gives exactly
// the plain one's result; DBDigest picks the one the processor runs.
#pragma once

#include <cstddef>
#include <cstdint>

uint64_t DBDigestPlain(const unsigned char* p, size_t n, uint64_t key);
// Needs AVX2.
uint64_t DBDigestFast(const unsigned char* p, size_t n, uint64_t key);
uint64_t DBDigest(const unsigned char* p, size_t n, uint64_t key);
