// Codes shared by every layer of the engine and by the desktop program.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>

typedef char16_t WCHAR16;

// Names and paths hold at most this many UTF-16 characters, terminator included.
#define MAX_PATH_ZQ 264

// Preconditions carry their expression text. They abort in debug builds only; release
// builds go on, as the callers expect a refusal code afterwards rather than a crash.
#ifdef NDEBUG
#define ZQ_ASSERT(expr) ((void)0)
#else
#define ZQ_ASSERT(expr)                                                              \
  ((expr) ? (void)0                                                                  \
          : (std::fprintf(stderr, "assertion failed: %s (%s:%d)\n", #expr, __FILE__, \
                          __LINE__),                                                 \
             std::abort()))
#endif

// Result codes.
enum ResultCode : int {
  RC_OK = 0,
  RC_FAIL = -1,
  RC_CANCELLED = -79,
  RC_STOP = 1,
  RC_READ_FAILED = 5,
  RC_DEVICE_ABSENT = 6,
  RC_NO_MEMORY = 12,
  RC_WRITE_PROTECTED = 19,
  RC_BAD_PATH = 22,
  RC_SEEK_MISMATCH = 29,
  RC_MISSING = 43,
  RC_BAD_ARGUMENT = 100,
  RC_KEY_NOT_FOUND = 101,
  RC_EMPTY_RESIDENT = 103,
  RC_WRONG_FS = 104,
  RC_MFT_UNREADABLE = 105,
  RC_CORRUPT_RECORD = 106,
  // The volume's layout is sound but its root directory cannot be read or parsed: a
  // deleted-file scan cannot follow its folders; the format scan rebuilds them.
  RC_ROOT_DAMAGED = 107,
  RC_UNEXPECTED_RECORD = 108,
  RC_BUFFER_TOO_SMALL = 109,
  RC_OUT_OF_RANGE = 111,
};
const int RC_NOT_SUPPORTED = (int)0xEFFFFFFF;

// Scan-kind codes.
enum ScanType : int {
  Scan_None = 0,
  Scan_Deleted = 1,
  Scan_DeletedFat16 = 3,
  Scan_DeletedFat32 = 5,
  Scan_DeletedNtfs = 9,
  Scan_DeletedExfat = 17,
  Scan_DeletedHfsp = 33,
  Scan_Format = 0x100,
  Scan_FormatFat16 = 0x300,
  Scan_FormatFat32 = 0x500,
  Scan_FormatNtfs = 0x900,
  Scan_FormatExfat = 0x1100,
  Scan_FormatHfsp = 0x2100,
  Scan_Raw = 0x10000,
};

// Events sent to INotifySink::Notify.
enum NotifyEvent : int {
  NE_CANCEL_POLL = 1,
  NE_STARTED = 2,
  NE_FINISHED = 3,
  NE_PERCENT = 4,
  NE_FOUND_FILE = 5,
  NE_SECTORS = 8,
  NE_PARTITION_FOUND = 9,
  NE_FS_DETECT = 10,
};

// Flag bits of a found file record.
enum FileFlag : uint32_t {
  FF_DIRECTORY = 0x00000800u,
  FF_FORMATTED = 0x00008000u,
  // With FF_NODATA: another file, or the volume written over the old one, holds the clusters
  // the file's entry names. Without it the file's place is what was lost.
  FF_OVERWRITTEN = 0x00040000u,
  FF_NODATA = 0x00080000u,
  FF_ENCRYPTED = 0x00800000u,
  FF_COMPRESSED = 0x08000000u,
  FF_RESIDENT = 0x80000000u,
};

// What IDevice::GetType answers.
enum DeviceType : int {
  DT_FIXED_DISK = 1,
  DT_PARTITION = 2,
  DT_OTHER_DISK = 4,
  DT_LETTER_VOLUME = 5,
  DT_PARTITION_OTHER = 6,
};

// File-system codes: single bits.
enum FileSystem : int {
  FS_NONE = 0,
  FS_FAT16 = 1,
  FS_FAT32 = 2,
  FS_NTFS = 4,
  FS_HFS = 128,
  FS_EXFAT = 256,
  FS_HFSP = 512,
};

// Partition type bytes that the engine itself produces or reads.
enum PartitionTypeByte : uint32_t {
  PT_UNDETECTED = 0x00,
  PT_FAT12 = 0x01,
  PT_EXTENDED = 0x05,
  PT_FAT16 = 0x06,
  PT_NTFS = 0x07,
  PT_FAT32 = 0x0B,
  PT_FAT32_LBA = 0x0C,
  PT_EXTENDED_LBA = 0x0F,
  PT_HIDDEN_FAT16 = 0x16,
  PT_HIDDEN_NTFS = 0x17,
  PT_HIDDEN_FAT32 = 0x1B,
  PT_HFSP = 0xAF,
  PT_EXFAT = 0xB0,
  PT_HFSX = 0xBF,
  PT_EXFAT2 = 0xC0,
  PT_UNKNOWN_FS = 0xDA,
  PT_UNALLOCATED = 0xDB,
  PT_CORE_STORAGE = 0xF1,
};

// Maps between partition type bytes and file-system codes.
int PartitionTypeToFsType(uint32_t partitionType);
uint32_t FsTypeToPartitionType(int fileSystem);
