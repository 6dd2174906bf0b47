// The LZNT1 codec of NTFS compression.
#pragma once
#include <cstddef>
#include <cstdint>

// Decodes one compression unit. Every chunk header, flag byte, token and back-reference is
// checked against both bounds. Returns the number of bytes written to out, or -1 when the
// input is corrupt.
int64_t Lznt1Decompress(const uint8_t* in, size_t inLen, uint8_t* out, size_t outCap);

// Encodes data (used by the tests and fixtures); returns bytes written or -1.
int64_t Lznt1Compress(const uint8_t* in, size_t inLen, uint8_t* out, size_t outCap);
