#include "frontend/formatsize.h"

#include <cinttypes>
#include <cstdio>

char* FormatFileSize(uint64_t bytes, char* buf) {
  const float k = 1.0f / 1024.0f;
  float v = static_cast<float>(bytes);
  if (bytes < 1024)
    std::snprintf(buf, 100, "%" PRIu64 " bytes", bytes);
  else if (bytes < 0x100000ull)
    std::snprintf(buf, 100, "%.2f KB", double(v * k));
  else if (bytes < 0x40000000ull)
    std::snprintf(buf, 100, "%.2f MB", double(v * k * k));
  else if ((bytes >> 32) < 256)
    std::snprintf(buf, 100, "%.2f GB", double(v * k * k * k));
  else
    std::snprintf(buf, 100, "%.2f TB", double(v * k * k * k * k));
  return buf;
}

QString FormatFileSizeText(uint64_t bytes) {
  char buf[100];
  return QString::fromLatin1(FormatFileSize(bytes, buf));
}

QString FileSystemTypeName(uint32_t partitionType) {
  switch (partitionType) {
    case 6: return QStringLiteral("FAT16 (MS-DOS)");
    case 7: return QStringLiteral("NTFS ");
    case 11: return QStringLiteral("FAT32 (MS-DOS)");
    case 175: return QStringLiteral("HFS+");
    case 176: return QStringLiteral("EXFAT");
    case 191: return QStringLiteral("HFSX");
    case 218: return QStringLiteral("UnKnown");
    case 219: return QStringLiteral("UnAllocate");
    default: return QString();
  }
}
