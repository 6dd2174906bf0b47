// The HFS+ and HFSX volume header and its forks (Apple TN1150). Every integer is big-endian
// on disk; the header is converted to host order in place by hfsplus_swap_volume_header.
// The B-tree structures that live inside the forks are in btree.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/layout/hfsplus_volume.h"

// The packed on-disk layout of common/layout/hfsplus_volume.h, kept in host order once
// read: the scanners hold the header in this form.
using HFSPlusExtentDescriptor = layout::raw::HFSPlusExtentDescriptor;
typedef HFSPlusExtentDescriptor HFSPlusExtentRecord[8];
using HFSPlusForkData = layout::raw::HFSPlusForkData;
using HFSPlusVolumeHeader = layout::raw::HFSPlusVolumeHeader;

const uint16_t kHFSPlusSigWord = layout::kHFSPlusSignature;
const uint16_t kHFSXSigWord = layout::kHFSXSignature;
const uint16_t kHFSPlusVersion = layout::kHFSPlusVersion;
const uint16_t kHFSXVersion = layout::kHFSXVersion;
const uint32_t kHFSVolumeJournaledBit = 1u << 13;
// Byte offset of the volume header from the start of the volume.
const uint64_t kHFSPlusHeaderOffset = layout::kHFSPlusVolumeHeaderOffset;

// In-place big-endian to host conversion of every numeric field, forks included.
void hfsplus_swap_volume_header(HFSPlusVolumeHeader* header);

// Reads the 512-byte header at the start of (data, size) into *out in host order; false
// when it does not fit.
bool hfsplus_read_volume_header(const uint8_t* data, size_t size, HFSPlusVolumeHeader* out);

// Sum of the block counts up to the first empty extent, in 64 bits.
uint64_t hfsplus_extents_block_count(const HFSPlusExtentDescriptor extents[8]);

// A fork as the layout layer decodes it (a catalog record's data fork), in this form.
void hfsplus_fork_from_layout(const layout::HFSPlusForkData& in, HFSPlusForkData* out);

// Whether one fork is consistent with itself and with a volume of the header's geometry.
bool hfsplus_check_fork(const HFSPlusForkData* fork, uint32_t blockSize, uint32_t volumeBlocks);

// The acceptance test of a host-order header.
bool hfsplus_check_volume_header(const HFSPlusVolumeHeader* header);
