// Ordering of HFS+ names: case-insensitive on HFS+ volumes, by code unit on HFSX.
// A name is an HFSUniStr255 as stored on disk: big-endian u16 length, then that many
// big-endian UTF-16 units. Every compare takes the bytes that are really present, so a
// length field that claims more units than the key holds is cut to what is there.
#pragma once
#include <cstddef>
#include <cstdint>

// The most units an HFS+ name may hold.
const uint16_t kHfsMaxNameUnits = 255;

uint16_t caseFoldLookup(uint16_t unit);

// a/b point at the name's length field; aBytes/bBytes are the bytes available from there.
int hfsFastUnicodeCompare(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes);
int hfsBinaryUnicodeCompare(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes);

// Keys of the form parentID (big-endian u32) + name: parentID first, then the
// case-folding compare.
int hfsplus_name_key_cmp(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes);

// Units of a name that really lie inside the given bytes (at most 255).
uint16_t hfsNameUnitsPresent(const uint8_t* name, size_t bytes);
