// Row records that the scan worker makes and hands to the window, which owns them from then on.
#pragma once
#include <QString>
#include <QVector>
#include <cstdint>

class IFileInfo;

struct QXQuickScanFileNode {
  IFileInfo* m_file = nullptr;
  QString m_sizeText;
  uint64_t m_size = 0;
  QString m_fileName;
  QString m_fullPath;
  // Where the file hangs in the results tree below its top item (with the category folder in a
  // deep scan); the copy recreates this path. Empty until the file is in the tree.
  QString m_treePath;
  uint8_t m_checked = 1;
  uint8_t m_isImage = 0;
  // The record's flag bits as the scan handed it out.
  uint32_t m_flags = 0;
  // Why the engine gives no data for it (a file listed for its name alone); empty when it has data.
  QString m_noDataReason;
};

struct QXDiskFileNode {
  QString m_name;
  // Device index into g_Devices for device rows; the partition record's disk index for found partitions.
  int m_index = -1;
  QString m_typeText;
  QString m_sizeText;
  uint64_t m_size = 0;
  // The partition table gave it more sectors than the disk holds: its end is missing.
  bool m_clipped = false;
};

// The files whose last folder is one item of the results tree, in arrival order.
struct QXFolderRecord {
  QVector<QXQuickScanFileNode*> m_nodes;
  // How many of m_nodes are ticked; the folder's check state is read from it without a walk.
  int m_ticked = 0;
};
