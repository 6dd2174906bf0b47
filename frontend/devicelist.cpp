// The start page's device tree and the lost-partition page's list of found partitions.
#include <QCoreApplication>
#include <QIcon>
#include <cstring>

#include "common/inc/idevice.h"
#include "common/inc/kestrum_types.h"
#include "frontend/formatsize.h"
#include "frontend/globals.h"
#include "frontend/sizeitem.h"
#include "frontend/sorbeckrecovery.h"

namespace {

// Rows carry the position of their node, so equal names and sorting never pick the wrong device.
const int kNodeRole = Qt::UserRole + 1;

QString FromWide(const char16_t* text, size_t capacity) {
  size_t n = 0;
  while (n < capacity && text[n]) ++n;
  return QString::fromUtf16(text, static_cast<int>(n));
}

QIcon SkinIcon(const char* name) { return QIcon(QStringLiteral(":/SorbeckRecovery/Skin/") + QLatin1String(name)); }

// The size as the list shows it: a partition cut short by the disk's end says so, since its
// size alone does not tell that its last part is missing.
QString ShownSize(const QXDiskFileNode* node) {
  if (!node->m_clipped) return node->m_sizeText;
  return node->m_sizeText + QCoreApplication::translate("SorbeckRecovery", " (cut short)");
}

QString ClippedTip() {
  return QCoreApplication::translate("SorbeckRecovery",
                                     "The partition table gives this partition more space than the disk holds: "
                                     "its last part is missing, and files that lay there cannot be recovered whole.");
}

}  // namespace

void SorbeckRecovery::FillDeviceList() {
  QTreeWidget* tree = ui.allDiskTreeWidget;
  tree->setColumnCount(3);
  tree->setColumnWidth(0, 350);
  tree->setColumnWidth(1, 150);
  tree->setColumnWidth(2, 150);
  tree->setHeaderLabels({tr("Drive Name"), tr("Drive Size"), tr("File System")});

  QTreeWidgetItem* diskItem = nullptr;
  for (int i = 0; i < kDeviceCapacity && g_Devices[i]; ++i) {
    IDevice* device = g_Devices[i];
    const int type = device->GetType();
    if (type == DT_FIXED_DISK || type == DT_OTHER_DISK) {
      DiskGeometry geometry;
      std::memset(&geometry, 0, sizeof(geometry));
      device->GetGeometry(&geometry);
      QXDiskFileNode* node = new QXDiskFileNode;
      node->m_name = FromWide(geometry.Model, MAX_PATH_ZQ);
      node->m_size = geometry.DiskSize > 0 ? static_cast<uint64_t>(geometry.DiskSize) : 0;
      node->m_sizeText = FormatFileSizeText(node->m_size);
      node->m_typeText = QStringLiteral("Disk");
      node->m_index = i;
      diskItem = new QTreeWidgetItem;
      diskItem->setText(0, node->m_name);
      // The size tells two disks of one model apart, and a disk from its partitions.
      diskItem->setText(1, node->m_sizeText);
      diskItem->setIcon(0, SkinIcon(type == DT_OTHER_DISK ? "extImage.png" : "Image.png"));
      diskItem->setData(0, kNodeRole, m_deviceNodes.size());
      tree->addTopLevelItem(diskItem);
      m_deviceNodes.append(node);
    } else if (type == DT_PARTITION || type == DT_PARTITION_OTHER) {
      PartitionInfo info;
      std::memset(&info, 0, sizeof(info));
      device->GetPartitionInfo(&info);
      // Unallocated stretches between partitions are no volumes. A disk without a partition
      // table is listed with the one partition that spans it, also when its volume's boot
      // record is too damaged to name a file system: that partition is what Volume Recovery
      // rebuilds.
      if (info.IsEfiSystemPartition || (info.PartitionType == PT_UNALLOCATED && info.PartitionNumber == -1))
        continue;
      if (info.SectorCount <= 0 || !diskItem) continue;
      QXDiskFileNode* node = new QXDiskFileNode;
      node->m_name = FromWide(info.Label, MAX_PATH_ZQ);
      if (node->m_name.isEmpty()) node->m_name = QStringLiteral("Untitled") + QString::number(i);
      uint64_t size = 0;
      device->GetSize(&size);
      node->m_size = size;
      node->m_sizeText = FormatFileSizeText(size);
      node->m_clipped = (info.Flags & PF_CLIPPED) != 0;
      node->m_index = i;
      // The partition of a disk without a table is no unallocated space: its file system
      // was not recognised.
      node->m_typeText =
          FileSystemTypeName(info.PartitionType == PT_UNALLOCATED ? PT_UNKNOWN_FS : info.PartitionType);
      QTreeWidgetItem* item = new QTreeWidgetItem;
      item->setText(0, node->m_name);
      item->setText(1, ShownSize(node));
      item->setText(2, node->m_typeText);
      if (node->m_clipped)
        for (int c = 0; c < 3; ++c) item->setToolTip(c, ClippedTip());
      item->setIcon(0, SkinIcon(type == DT_PARTITION_OTHER ? "extImage.png" : "Image.png"));
      item->setData(0, kNodeRole, m_deviceNodes.size());
      diskItem->addChild(item);
      m_deviceNodes.append(node);
    }
  }
  tree->expandAll();
  m_mode = Mode_Deep;
}

void SorbeckRecovery::ClickAllDiskTabelWidget(QTreeWidgetItem* item, int) {
  if (!item) return;
  bool ok = false;
  const int k = item->data(0, kNodeRole).toInt(&ok);
  if (!ok || k < 0 || k >= m_deviceNodes.size()) return;
  const QXDiskFileNode* node = m_deviceNodes[k];
  // The four cards stay where they are whatever is selected: a card that vanished would take the
  // person's choice with it. A mode that cannot run on this device says why instead.
  m_selectedIndex = node->m_index;
  m_selectionIsFound = false;
  m_selectedDriveName = item->text(0);
  m_selectedDiskName = item->parent() ? item->parent()->text(0) : QString();
  // A refusal about the last selection no longer applies; one about this selection is said at once.
  ClearProblem();
  SayModeRefusal();
}

void SorbeckRecovery::ClickDeepDiskTabelWidget(QTreeWidgetItem* item, int) {
  if (!item) return;
  bool ok = false;
  const int k = item->data(0, kNodeRole).toInt(&ok);
  if (!ok || k < 0 || k >= m_deviceNodes.size()) return;
  m_selectedIndex = m_deviceNodes[k]->m_index;
  m_selectionIsFound = false;
  m_selectedDriveName = item->text(0);
}

void SorbeckRecovery::ClickPartitionDiskTabelWidget(QTableWidgetItem* theItem) {
  // Its table is never filled; a row can only come from a node the window holds.
  if (!theItem) return;
  bool ok = false;
  const int k = theItem->data(kNodeRole).toInt(&ok);
  if (!ok || k < 0 || k >= m_deviceNodes.size()) return;
  m_selectedIndex = m_deviceNodes[k]->m_index;
  m_selectionIsFound = false;
  m_selectedDriveName = theItem->text();
}

void SorbeckRecovery::FindPartitionFileNodeHandle(QXDiskFileNode* Node, IDevice* theDevice) {
  if (!Node) return;
  m_foundNodes.append(Node);
  g_FoundPartitions.push_back(theDevice);
}

void SorbeckRecovery::FillLostPartitionList() {
  QTableWidget* table = ui.lostpartitionTableWidget;
  // Rows are placed by position; sorting while they are inserted would scatter their cells.
  const bool sorting = table->isSortingEnabled();
  table->setSortingEnabled(false);
  table->clearContents();
  table->setColumnCount(3);
  table->setColumnWidth(0, 320);
  table->setColumnWidth(2, 145);
  table->clearSelection();
  const int n = m_foundNodes.size();
  // Wide enough for a size that says it is cut short.
  int sizeWidth = 145;
  for (const QXDiskFileNode* node : m_foundNodes)
    if (node) sizeWidth = qMax(sizeWidth, table->fontMetrics().horizontalAdvance(ShownSize(node)) + 24);
  table->setColumnWidth(1, sizeWidth);
  table->setRowCount(qMax(n, 6));
  for (int k = 0; k < n; ++k) {
    const QXDiskFileNode* node = m_foundNodes[k];
    if (!node) continue;
    table->setRowHeight(k, 23);
    QTableWidgetItem* name = new QTableWidgetItem(SkinIcon("Image.png"), node->m_name);
    QTableWidgetItem* size = new SizeTableItem(ShownSize(node), node->m_size);
    QTableWidgetItem* type = new QTableWidgetItem(node->m_typeText);
    for (QTableWidgetItem* cell : {name, size, type}) {
      cell->setData(kNodeRole, k);
      if (node->m_clipped) cell->setToolTip(ClippedTip());
    }
    table->setItem(k, 0, name);
    table->setItem(k, 1, size);
    table->setItem(k, 2, type);
  }
  table->setSortingEnabled(sorting);
}

void SorbeckRecovery::ClickPartitionTabelWidget(QTableWidgetItem* theItem) {
  if (!theItem) return;
  bool ok = false;
  const int k = theItem->data(kNodeRole).toInt(&ok);
  if (!ok || k < 0 || static_cast<size_t>(k) >= g_FoundPartitions.size()) return;
  m_selectedIndex = k;
  m_selectionIsFound = true;
  m_selectedDriveName = theItem->text();
  ClearProblem();
}

void SorbeckRecovery::ClickPartitionRecoveryAction() {
  if (ui.partrecoveryButton->isChecked()) {
    ui.deeprecoveryButton->setChecked(false);
    m_mode = Mode_FoundVolume;
  } else {
    ui.deeprecoveryButton->setChecked(true);
    m_mode = Mode_FoundDeep;
  }
}

void SorbeckRecovery::ClickPartitionDeepRecoveryAction() {
  if (ui.deeprecoveryButton->isChecked()) {
    ui.partrecoveryButton->setChecked(false);
    m_mode = Mode_FoundDeep;
  } else {
    ui.partrecoveryButton->setChecked(true);
    m_mode = Mode_FoundVolume;
  }
}
