// Row records that the scan worker makes and hands to the window, which owns them from then on.
#pragma once
#include <QString>
#include <cstdint>

class IFileInfo;

struct QXQuickScanFileNode {
  IFileInfo* m_file = nullptr;
  QString m_sizeText;
  uint64_t m_size = 0;
  QString m_fileName;
  QString m_fullPath;
  uint8_t m_checked = 1;
  uint8_t m_isImage = 0;
};

struct QXDiskFileNode {
  QString m_name;
  // Device index into g_Devices for device rows; the partition record's disk index for found partitions.
  int m_index = -1;
  QString m_typeText;
  QString m_sizeText;
  uint64_t m_size = 0;
};
