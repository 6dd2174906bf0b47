#include "common/inc/kestrum_types.h"

int PartitionTypeToFsType(uint32_t t) {
  switch (t) {
    case 0x06: case 0x16: return FS_FAT16;
    case 0x07: case 0x17: return FS_NTFS;
    case 0x0B: case 0x1B: return FS_FAT32;
    case 0xAF: case 0xBF: return FS_HFSP;
    case 0xB0: case 0xC0: return FS_EXFAT;
    default: return FS_NONE;
  }
}

uint32_t FsTypeToPartitionType(int fs) {
  switch (fs) {
    case FS_FAT16: return PT_FAT16;
    case FS_FAT32: return PT_FAT32;
    case FS_NTFS: return PT_NTFS;
    case FS_HFS: case FS_HFSP: return PT_HFSP;
    case FS_EXFAT: return PT_EXFAT;
    default: return 0;
  }
}
