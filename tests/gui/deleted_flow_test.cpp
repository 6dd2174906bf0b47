// A whole deleted-file recovery through the window over the real engine: fixture volumes with
// files deleted, put in a partitioned disk image, scanned, browsed, copied and compared with the
// original files byte for byte.
#include <QDirIterator>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/inc/kestrum_types.h"
#include "fixtures.h"
#include "frontend/globals.h"
#include "frontend/sorbeckrecovery.h"
#include "screenshot.h"
#include "testutil.h"
#include "windowdriver.h"

namespace {

using namespace windowtest;
using testutil::Shot;

// A deleted FAT entry of a short name alone has lost its first character to the deletion mark;
// the scanner shows it as '_'. Long names keep theirs.
bool SameFoundName(const QString& found, const QString& original) {
  if (found == original) return true;
  return found.size() == original.size() && found.startsWith('_') &&
         found.mid(1).compare(original.mid(1), Qt::CaseInsensitive) == 0;
}

// The folder item of an original path; *foundPath gets the folders' names as found.
QTreeWidgetItem* ItemAt(QTreeWidgetItem* top, const QStringList& folders, QString* foundPath = nullptr) {
  QTreeWidgetItem* item = top;
  for (const QString& f : folders) {
    QTreeWidgetItem* next = Child(item, f);
    for (int i = 0; !next && item && i < item->childCount(); ++i)
      if (SameFoundName(item->child(i)->text(0), f)) next = item->child(i);
    item = next;
    if (foundPath && item) *foundPath += "/" + item->text(0);
  }
  return item;
}

void PutLe32(QByteArray& b, int at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = char((v >> (8 * i)) & 0xFF);
}

// A disk image holding the volume as its one MBR partition at 1 MiB.
bool MakeDisk(const QString& volume, uint8_t type, const QString& disk) {
  const QByteArray body = ReadAll(volume);
  if (body.isEmpty() || body.size() % 512) return false;
  QByteArray head(1 << 20, 0);
  head[446 + 4] = char(type);
  PutLe32(head, 446 + 8, 2048);
  PutLe32(head, 446 + 12, uint32_t(body.size() / 512));
  head[510] = char(0x55);
  head[511] = char(0xAA);
  QFile f(disk);
  if (!f.open(QIODevice::WriteOnly)) return false;
  return f.write(head) == head.size() && f.write(body) == body.size() && f.write(QByteArray(1 << 20, 0)) == (1 << 20);
}

// Chooses the disk's one partition and starts a scan of the mode's button.
void StartScan(SorbeckRecovery& w, QPushButton* mode) { Start(w, FirstRow(w, true), mode); }

size_t NameChars(const std::string& path) {
  size_t n = 0;
  for (unsigned char c : path.substr(path.rfind('/') + 1)) n += (c & 0xC0) != 0x80;
  return n;
}

// What sleuthkit reads for a deleted file today; empty when it is not installed or finds nothing.
QByteArray IcatBytes(const QString& image, const std::string& path) {
  if (QStandardPaths::findExecutable("ifind").isEmpty()) return QByteArray();
  QProcess find;
  find.start("ifind", {"-n", QString::fromStdString(path), image});
  if (!find.waitForFinished(30000)) return QByteArray();
  const QString inode = QString::fromLocal8Bit(find.readAllStandardOutput()).trimmed();
  if (inode.isEmpty() || inode.contains(' ')) return QByteArray();
  QProcess cat;
  cat.start("icat", {"-r", image, inode});
  if (!cat.waitForFinished(30000)) return QByteArray();
  return cat.readAllStandardOutput();
}

// The full paths of every file the results tree lists.
QStringList FoundPaths(SorbeckRecovery& w) {
  QStringList out;
  QList<QTreeWidgetItem*> todo = {w.TopItem()};
  while (!todo.isEmpty()) {
    QTreeWidgetItem* item = todo.takeFirst();
    if (!item) continue;
    if (QXFolderRecord* r = w.FolderRecordOf(item))
      for (const QXQuickScanFileNode* n : r->m_nodes) out << n->m_fullPath;
    for (int i = 0; i < item->childCount(); ++i) todo << item->child(i);
  }
  return out;
}

// What the window said last: the start page's red text, or the results page's status.
QString LastSaid(SorbeckRecovery& w) {
  return w.Form().Welcomeframe->isVisible() ? w.Form().Tiplab->text() : w.StatusText();
}

}  // namespace

class DeletedFlowTest : public QObject {
  Q_OBJECT

 private:
  void RunFlow(const char* fixture, uint8_t partitionType, int minExact);

 private slots:
  void ntfsScanTreeTableCopyAndStop() { RunFlow("ntfs", 0x07, 10); }
  void fat32ScanTreeTableCopyAndStop() { RunFlow("fat32", 0x0C, 5); }
  void ntfsSortedTablePreviewsItsOwnPicture();
  void wholeDiskAndEmptyPartitionSaySoInWords();
  void partitionCutByTheImageEndSaysSo();
  void searchOfABlankDiskOffersNothingToScan();
  void zeroedFat32BootSectorsPointToVolumeRecovery();
  void reformattedCardSaysDeepRecoveryFindsByContents();
  void bareVolumesWithoutBootRecordsGetVolumeRecovery();
  void filesWithoutDataAreMarkedAndTheCopySaysWhy();
  void emptyDeletedScanPointsToVolumeRecoveryFirst();

 private:
  void RecoverBareVolume(const QString& image, const testutil::FixtureManifest& m, const QString& root);
};

void DeletedFlowTest::searchOfABlankDiskOffersNothingToScan() {
  QTemporaryDir tmp;
  const QString blank = tmp.filePath("blank.img");
  QVERIFY(ZeroFile(blank, 64ll << 20));
  ScopedDisks disks(blank);
  ShownWindow w;
  auto& ui = w.Form();
  QCOMPARE(ui.allDiskTreeWidget->topLevelItemCount(), 1);
  Start(w, FirstRow(w, false), ui.LostVolumesButton);
  QVERIFY(ui.disklistFrame->isVisible());
  QTRY_VERIFY_WITH_TIMEOUT(!w.ScanRunning(), kPatienceMs);
  // Nothing found: the next step is named, as the mode's description names it.
  QCOMPARE(ui.scanningstatelab->text(),
           QStringLiteral("No lost partitions of 200 MB or more were found on this disk. Deep Recovery finds files by "
                          "their contents, in smaller volumes too."));
  QVERIFY(TextFits(ui.scanningstatelab));
  for (QWidget* x : {static_cast<QWidget*>(ui.partrecoveryButton), static_cast<QWidget*>(ui.deeprecoveryButton),
                     static_cast<QWidget*>(ui.scanDelDiskBtn), static_cast<QWidget*>(ui.lostpartitionTableWidget)})
    QVERIFY2(!x->isVisible(), qPrintable(x->objectName()));
  QVERIFY(!w.findChild<QPushButton*>("searchStopBtn")->isVisible());
  QVERIFY(ui.diskHomeButton->isVisible());
}

// The real engine: Volume Recovery is not run on a whole disk, and on a partition that holds no
// file system its answer is said in words.
void DeletedFlowTest::wholeDiskAndEmptyPartitionSaySoInWords() {
  QTemporaryDir tmp;
  const QString zeros = tmp.filePath("zeros.bin");
  QVERIFY(ZeroFile(zeros, 8 << 20));
  const QString disk = tmp.filePath("disk.img");
  QVERIFY(MakeDisk(zeros, 0x07, disk));
  ScopedDisks disks(disk);
  ShownWindow w;
  auto& ui = w.Form();
  QTreeWidget* devices = ui.allDiskTreeWidget;
  QCOMPARE(devices->topLevelItemCount(), 1);
  QTreeWidgetItem* whole = devices->topLevelItem(0);
  QCOMPARE(whole->childCount(), 1);
  emit devices->itemClicked(whole->child(0), 0);
  Click(ui.PartitionScanButton);
  emit devices->itemClicked(whole, 0);
  QVERIFY(ui.Tiplab->text().contains("Volume Recovery reads one partition, and a whole disk is selected"));
  Click(ui.scanTheDiskBtn);
  QVERIFY(!w.ScanRunning());
  QVERIFY(ui.Welcomeframe->isVisible());
  QVERIFY(!w.Scanner());

  emit devices->itemClicked(whole->child(0), 0);
  Click(ui.scanTheDiskBtn);
  QTRY_VERIFY_WITH_TIMEOUT(!w.ScanRunning(), kPatienceMs);
  const QString status = w.StatusText();
  QVERIFY2(status.contains("No formatted or damaged volume was recognised") &&
               status.contains("Deep Recovery finds files by their contents"),
           qPrintable(status));
}

void DeletedFlowTest::partitionCutByTheImageEndSaysSo() {
  const std::string image = testutil::Fixture("cutdisk_mbr.img");
  if (image.empty()) QSKIP("the cut disk image was not built here");
  ScopedDisks disks(QString::fromStdString(image));
  SorbeckRecovery w;
  QTreeWidget* devices = w.Form().allDiskTreeWidget;
  QCOMPARE(devices->topLevelItemCount(), 1);
  int cut = 0;
  for (int i = 0; i < devices->topLevelItem(0)->childCount(); ++i) {
    QTreeWidgetItem* row = devices->topLevelItem(0)->child(i);
    if (!row->text(1).endsWith(" (cut short)")) continue;
    ++cut;
    QVERIFY(row->toolTip(1).contains("its last part is missing"));
  }
  QCOMPARE(cut, 1);
}

namespace {

QString Nfc(const QString& s) { return s.normalized(QString::NormalizationForm_C); }

// The child of a folder item by its name in composed form: HFS+ keeps names decomposed.
QTreeWidgetItem* ComposedChild(QTreeWidgetItem* item, const QString& name) {
  for (int i = 0; item && i < item->childCount(); ++i)
    if (Nfc(item->child(i)->text(0)) == Nfc(name)) return item->child(i);
  return nullptr;
}

// A copy of a fixture image in `dir` with the byte ranges given zeroed.
QString DamagedCopy(const std::string& from, const QString& dir, const QString& name,
                    const std::vector<std::pair<qint64, qint64>>& zeroed) {
  QByteArray bytes = ReadAll(QString::fromStdString(from));
  if (bytes.isEmpty()) return QString();
  for (const auto& z : zeroed) {
    const qint64 at = z.first < 0 ? bytes.size() + z.first : z.first;
    if (at < 0 || at + z.second > bytes.size()) return QString();
    std::memset(bytes.data() + at, 0, size_t(z.second));
  }
  const QString path = dir + "/" + name;
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) return QString();
  return path;
}

}  // namespace

// Images of one volume with no partition table whose boot records are gone, and an ISO whose
// HFS+ volume only an Apple partition map places: each is listed as a disk with the one
// partition that spans it, of a file system not recognised, and Volume Recovery on that
// partition gives every file of the volume under its folders and name, byte for byte when
// copied; the image is never written.
void DeletedFlowTest::bareVolumesWithoutBootRecordsGetVolumeRecovery() {
  testutil::FixtureManifest hfs, fat;
  if (!hfs.Load("hfsplus") || !fat.Load("fat32")) QSKIP("the fixture images were not built here");
  QTemporaryDir tmp;
  const std::string hfsImage = testutil::Fixture("hfsplus.img");
  const QString iso = QString::fromStdString(testutil::Fixture("hfsplus.iso"));
  QVERIFY(!hfsImage.empty() && !iso.isEmpty());
  // Both HFS+ volume headers (bytes 1024 and 1024 before the end), and the FAT32 boot sector.
  const QString headerless = DamagedCopy(hfsImage, tmp.path(), "headerless.img", {{1024, 512}, {-1024, 512}});
  const QString bootless = DamagedCopy(fat.ImagePath(), tmp.path(), "bootless.img", {{0, 512}});
  QVERIFY(!headerless.isEmpty() && !bootless.isEmpty());
  RecoverBareVolume(headerless, hfs, tmp.filePath("out-hfs"));
  RecoverBareVolume(iso, hfs, tmp.filePath("out-iso"));
  RecoverBareVolume(bootless, fat, tmp.filePath("out-fat"));
}

void DeletedFlowTest::RecoverBareVolume(const QString& image, const testutil::FixtureManifest& m,
                                        const QString& target) {
  const uint64_t before = testutil::FileChecksum(image.toStdString());
  ScopedDisks disks(image);
  ShownWindow w;
  auto& ui = w.Form();
  QCOMPARE(ui.allDiskTreeWidget->topLevelItemCount(), 1);
  QTreeWidgetItem* disk = FirstRow(w, false);
  QVERIFY2(disk->childCount() == 1, qPrintable(image + ": no partition listed"));
  QTreeWidgetItem* partition = disk->child(0);
  QCOMPARE(partition->text(2), QStringLiteral("UnKnown"));
  // Deleted Recovery does not read such a volume, damaged or intact (an ISO's HFS+ volume is
  // intact): it says so and sends the person to Volume Recovery, without calling it damaged.
  QVERIFY(RunToEnd(w, partition, ui.DeleteScanButton, kPatienceMs));
  const QString deletedSaid = LastSaid(w);
  QVERIFY2(deletedSaid.contains("Deleted Recovery does not read this volume") &&
               deletedSaid.contains("Use Volume Recovery first") && !deletedSaid.contains("damaged"),
           qPrintable(image + ": " + deletedSaid));
  if (image.endsWith(".iso")) Shot(&w, "deleted-on-hfsplus-iso");
  if (ui.Resultframe->isVisible()) Click(ui.HomeButton);
  Start(w, partition, ui.PartitionScanButton);
  QVERIFY2(w.ScanRunning(), qPrintable(image + ": " + LastSaid(w)));
  QTRY_VERIFY_WITH_TIMEOUT(!w.ScanRunning(), kPatienceMs);
  QVERIFY2(w.StatusText().contains("finished"), qPrintable(image + ": " + w.StatusText()));

  // Every file the volume holds, under its folders with its name and size.
  QTreeWidgetItem* root = ComposedChild(w.TopItem(), "Volume");
  QVERIFY2(root, qPrintable(image));
  std::map<QString, const testutil::ManifestEntry*> live;  // composed path -> entry
  for (const testutil::ManifestEntry* e : m.Files()) {
    if (e->deleted) continue;
    const QString path = QString::fromStdString(e->path);
    live[Nfc(path)] = e;
    QStringList folders = path.split('/', Qt::SkipEmptyParts);
    const QString name = folders.takeLast();
    QTreeWidgetItem* item = root;
    for (const QString& f : folders) item = ComposedChild(item, f);
    QVERIFY2(item && w.FolderRecordOf(item), qPrintable(image + ": no folder for " + path));
    const QXQuickScanFileNode* found = nullptr;
    for (const QXQuickScanFileNode* n : w.FolderRecordOf(item)->m_nodes)
      if (Nfc(n->m_fileName) == Nfc(name)) found = n;
    QVERIFY2(found, qPrintable(image + ": missing " + path));
    QCOMPARE(found->m_size, e->size);
  }
  QVERIFY(live.size() >= 30);

  // All of it copied, and every live file's bytes the original's.
  w.TopItem()->setCheckState(0, Qt::Unchecked);
  w.TopItem()->setCheckState(0, Qt::Checked);
  QVERIFY(QDir().mkpath(target));
  QVERIFY(w.StartCopy(target));
  QTRY_VERIFY_WITH_TIMEOUT(!w.CopyRunning(), kPatienceMs);
  QVERIFY2(w.StatusText().contains(" 0 failed"), qPrintable(w.StatusText()));
  const QString copyRoot = target + "/Velmora/Volume";
  size_t exact = 0;
  for (const QString& rel : FilesUnder(copyRoot)) {
    const auto it = live.find(Nfc("/" + rel));
    if (it == live.end()) continue;
    const QByteArray data = ReadAll(copyRoot + "/" + rel);
    QVERIFY2(m.SameAsOriginal(it->second->path, std::vector<uint8_t>(data.begin(), data.end())),
             qPrintable(image + ": bytes differ: " + rel));
    ++exact;
  }
  QCOMPARE(exact, live.size());
  QCOMPARE(testutil::FileChecksum(image.toStdString()), before);
}

void DeletedFlowTest::RunFlow(const char* fixture, uint8_t partitionType, int minExact) {
  testutil::FixtureManifest m;
  if (!m.Load(fixture)) QSKIP("the fixture image was not built here");
  const QString volume = QString::fromStdString(m.ImagePath());
  QTemporaryDir tmp;
  const QString disk = tmp.filePath("disk.img");
  QVERIFY(MakeDisk(volume, partitionType, disk));
  ScopedDisks disks(disk);
  ShownWindow w;
  QTreeWidget* devices = w.Form().allDiskTreeWidget;
  QCOMPARE(devices->topLevelItemCount(), 1);
  QCOMPARE(devices->topLevelItem(0)->childCount(), 1);

  StartScan(w, w.Form().DeleteScanButton);
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_Deleted));
  QVERIFY(w.ScanRunning());
  QTRY_VERIFY_WITH_TIMEOUT(!w.ScanRunning(), kPatienceMs);
  QVERIFY2(w.StatusText().contains("finished"), qPrintable(w.StatusText()));

  // Every deleted file sits in the tree under its own folders, with its name, path and size.
  QTreeWidgetItem* top = w.TopItem();
  QVERIFY(top);
  QTreeWidgetItem* root = Child(top, "Volume");
  QVERIFY(root);
  std::map<std::string, const testutil::ManifestEntry*> expected;
  // The path each deleted file was found at, below "/Volume", and the original's path.
  std::map<QString, std::string> foundAs;
  for (const testutil::ManifestEntry* e : m.Deleted()) {
    if (e->isDir || NameChars(e->path) > 200) continue;
    expected[e->path] = e;
    const QString path = QString::fromStdString(e->path);
    QStringList folders = path.split('/', Qt::SkipEmptyParts);
    const QString name = folders.takeLast();
    QString foundFolders;
    QTreeWidgetItem* item = ItemAt(root, folders, &foundFolders);
    QVERIFY2(item && w.FolderRecordOf(item), qPrintable(path));
    const QXQuickScanFileNode* found = nullptr;
    for (const QXQuickScanFileNode* n : w.FolderRecordOf(item)->m_nodes)
      if (SameFoundName(n->m_fileName, name)) found = n;
    QVERIFY2(found, qPrintable(path));
    QCOMPARE(found->m_fullPath, "/Volume" + foundFolders + "/" + found->m_fileName);
    foundAs[found->m_fullPath.mid(7)] = e->path;
    QCOMPARE(found->m_size, e->size);
  }
  QVERIFY(expected.size() >= 5);

  // The table of one folder shows exactly that folder's files, each row with its own size.
  const std::string sample = expected.begin()->first;
  QStringList folders = QString::fromStdString(sample).split('/', Qt::SkipEmptyParts);
  folders.removeLast();
  QTreeWidgetItem* folder = ItemAt(root, folders);
  emit w.Form().resultTreeWidget->itemClicked(folder, 0);
  QTableWidget* table = w.Form().contantTableWidget;
  const QVector<QXQuickScanFileNode*>& shown = w.FolderRecordOf(folder)->m_nodes;
  QVERIFY(table->rowCount() >= shown.size());
  table->sortItems(0, Qt::DescendingOrder);
  QSet<QString> rows;
  for (int r = 0; r < table->rowCount(); ++r) {
    QTableWidgetItem* name = table->item(r, 0);
    if (!name || name->text().isEmpty()) continue;
    rows << name->text();
    for (const QXQuickScanFileNode* n : shown)
      if (n->m_fileName == name->text()) {
        QCOMPARE(table->item(r, 1)->text(), n->m_sizeText);
        QCOMPARE(table->item(r, 2)->text(), n->m_fullPath);
      }
  }
  QCOMPARE(rows.size(), shown.size());

  // Everything ticked (by its top item, as a user would), copied, and compared.
  top->setCheckState(0, Qt::Unchecked);
  top->setCheckState(0, Qt::Checked);
  const QString target = tmp.filePath("out");
  QVERIFY(QDir().mkpath(target));
  QVERIFY(w.StartCopy(target));
  QTRY_VERIFY_WITH_TIMEOUT(!w.CopyRunning(), kPatienceMs);
  QVERIFY2(w.StatusText().contains(" 0 failed"), qPrintable(w.StatusText()));
  const QString copyRoot = target + "/Velmora/Volume";
  std::set<std::string> copied;
  int exact = 0;
  for (const QString& rel : FilesUnder(copyRoot)) {
    const auto alias = foundAs.find("/" + rel);
    const std::string path = alias != foundAs.end() ? alias->second : "/" + rel.toStdString();
    const QByteArray data = ReadAll(copyRoot + "/" + rel);
    const testutil::ManifestEntry* e = m.Find(path);
    // Files the scan found that the builder never wrote (its own scratch files) have nothing to compare.
    if (!e) continue;
    copied.insert(path);
    QCOMPARE(uint64_t(data.size()), e->size);
    if (m.SameAsOriginal(path, std::vector<uint8_t>(data.begin(), data.end()))) {
      ++exact;
      continue;
    }
    // Only clusters another file took since may differ; an independent reader must agree.
    const QByteArray oracle = IcatBytes(volume, path);
    QVERIFY2(!oracle.isEmpty() && oracle == data, qPrintable("bytes differ: " + rel));
  }
  for (const auto& kv : expected)
    QVERIFY2(copied.count(kv.first), qPrintable(QString::fromStdString(kv.first) + " not among " +
                                                FilesUnder(copyRoot).filter(QString::fromStdString(kv.first).section('/', 1, 1)).join(' ').left(600)));
  QVERIFY(exact >= minExact);

  // A scan stopped at once ends as stopped, and the page says so.
  Click(w.Form().HomeButton);
  QVERIFY(!w.TopItem());
  StartScan(w, w.Form().DeleteScanButton);
  QVERIFY(w.ScanRunning());
  Click(w.Form().scanStopBtn);
  QTRY_VERIFY_WITH_TIMEOUT(!w.ScanRunning(), kPatienceMs);
  QVERIFY2(w.StatusText().contains("stopped"), qPrintable(w.StatusText()));
}

void DeletedFlowTest::ntfsSortedTablePreviewsItsOwnPicture() {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs4k")) QSKIP("the fixture image was not built here");
  if (QStandardPaths::findExecutable("ntfs-3g").isEmpty() || !QFileInfo::exists("/dev/fuse"))
    QSKIP("ntfs-3g cannot mount here");
  QTemporaryDir tmp;
  const QString volume = tmp.filePath("vol.img");
  QVERIFY(QFile::copy(QString::fromStdString(m.ImagePath()), volume));
  QFile::setPermissions(volume, QFile::ReadOwner | QFile::WriteOwner);
  // Pictures of distinct colours written onto the volume, then deleted.
  const QString mnt = tmp.filePath("mnt");
  QDir().mkpath(mnt);
  if (QProcess::execute("ntfs-3g", {volume, mnt}) != 0) QSKIP("ntfs-3g cannot mount here");
  std::map<QString, QColor> colours;
  bool written = QDir().mkpath(mnt + "/pics");
  for (int i = 0; i < 5 && written; ++i) {
    QImage img(60 + 7 * i, 40 + 3 * i, QImage::Format_RGB32);
    const QColor c = QColor::fromHsv(i * 60, 220, 200);
    img.fill(c);
    const QString name = QString("p%1.png").arg(i);
    written = img.save(mnt + "/pics/" + name, "PNG");
    colours[name] = c;
  }
  QProcess::execute("sync", {});
  for (const auto& kv : colours) QFile::remove(mnt + "/pics/" + kv.first);
  QProcess::execute("fusermount", {"-u", mnt});
  QVERIFY(written);

  const QString disk = tmp.filePath("disk.img");
  QVERIFY(MakeDisk(volume, 0x07, disk));
  ScopedDisks disks(disk);
  ShownWindow w;
  StartScan(w, w.Form().DeleteScanButton);
  QTRY_VERIFY_WITH_TIMEOUT(!w.ScanRunning(), kPatienceMs);
  QVERIFY2(w.StatusText().contains("finished"), qPrintable(w.StatusText()));
  QTreeWidgetItem* pics = ItemAt(w.TopItem(), {"Volume", "pics"});
  QVERIFY(pics);
  QCOMPARE(w.FolderRecordOf(pics)->m_nodes.size(), 5);
  emit w.Form().resultTreeWidget->itemClicked(pics, 0);
  QTableWidget* table = w.Form().contantTableWidget;
  for (Qt::SortOrder order : {Qt::DescendingOrder, Qt::AscendingOrder}) {
    table->sortItems(0, order);
    for (int row : {0, 2, 4}) {
      const QString name = table->item(row, 0)->text();
      QVERIFY2(colours.count(name), qPrintable(name));
      emit table->itemClicked(table->item(row, 1));
      QTRY_VERIFY(!w.PreviewRunning());
      const QImage shown = w.Form().ContactImagelab->pixmap(Qt::ReturnByValue).toImage();
      const int i = name.mid(1, 1).toInt();
      QVERIFY2(PreviewKeepsShape(shown.size(), QSize(60 + 7 * i, 40 + 3 * i)), qPrintable(name));
      QCOMPARE(QColor(shown.pixel(shown.width() / 2, shown.height() / 2)).name(), colours[name].name());
    }
  }
}

// A FAT32 partition whose boot sector and its backup are zeroed: Deleted Recovery cannot read it
// and says to use Volume Recovery first, which gives the files back with names and folders.
void DeletedFlowTest::zeroedFat32BootSectorsPointToVolumeRecovery() {
  testutil::FixtureManifest m;
  if (!m.Load("fat32")) QSKIP("the fixture image was not built here");
  QByteArray volume = ReadAll(QString::fromStdString(m.ImagePath()));
  QVERIFY(volume.size() > (1 << 20));
  const int backup = uint8_t(volume[50]) | uint8_t(volume[51]) << 8;
  QVERIFY(backup > 0 && backup < 32);
  for (int sector : {0, backup}) std::memset(volume.data() + sector * 512, 0, 512);
  QTemporaryDir tmp;
  const QString damaged = tmp.filePath("damaged.img");
  {
    QFile f(damaged);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(volume) == volume.size());
  }
  const QString disk = tmp.filePath("disk.img");
  QVERIFY(MakeDisk(damaged, 0x0C, disk));
  ScopedDisks disks(disk);
  ShownWindow w;
  auto& ui = w.Form();
  QVERIFY(RunToEnd(w, FirstRow(w, true), ui.DeleteScanButton, kPatienceMs));
  const QString said = LastSaid(w);
  QVERIFY2(said.contains("Deleted Recovery does not read this volume") && said.contains("Volume Recovery first") &&
               said.indexOf("Volume Recovery") < said.indexOf("Deep Recovery"),
           qPrintable(said));
  Shot(&w, "deleted-on-zeroed-fat32");
  if (ui.Resultframe->isVisible()) Click(ui.HomeButton);

  // The advice holds: Volume Recovery finds every file still on the volume, under its own name.
  QVERIFY(RunToEnd(w, FirstRow(w, true), ui.PartitionScanButton, kPatienceMs));
  const QStringList found = FoundPaths(w);
  int present = 0, named = 0;
  for (const testutil::ManifestEntry* e : m.Files()) {
    if (e->deleted || e->isDir || NameChars(e->path) > 200) continue;
    ++present;
    const QString path = QString::fromStdString(e->path);
    for (const QString& f : found)
      if (f.endsWith(path)) {
        ++named;
        break;
      }
  }
  QVERIFY(present >= 5);
  QVERIFY2(named == present, qPrintable(QString("%1 of %2 present files found with their paths among %3: %4")
                                            .arg(named)
                                            .arg(present)
                                            .arg(found.size())
                                            .arg(found.mid(0, 12).join(' '))));
}

// A card formatted again by another device keeps no entry naming its files: Volume and Deleted
// Recovery end with none, and say that Deep Recovery finds files by their contents.
void DeletedFlowTest::reformattedCardSaysDeepRecoveryFindsByContents() {
  // FAT32 with 1 KiB clusters, formatted again with 512-byte ones: the new FATs cover the old
  // folders.
  const std::string image = testutil::Fixture("card-fat32-c512.img");
  if (image.empty()) QSKIP("the card image was not built here");
  QTemporaryDir tmp;
  const QString disk = tmp.filePath("disk.img");
  QVERIFY(MakeDisk(QString::fromStdString(image), 0x0C, disk));
  ScopedDisks disks(disk);
  ShownWindow w;
  auto& ui = w.Form();
  const struct {
    QPushButton* mode;
    const char* says;
  } modes[] = {
      {ui.PartitionScanButton, "No file entries were found on the volume; Deep Recovery finds files by their contents"},
      {ui.DeleteScanButton,
       "No deleted files were found. If the volume was formatted, use Volume Recovery first, then Deep Recovery"}};
  for (const auto& m : modes) {
    QVERIFY(RunToEnd(w, FirstRow(w, true), m.mode, kPatienceMs));
    const QString status = w.StatusText();
    QVERIFY2(status.startsWith("Scan finished: 0 files found.") && status.contains(QLatin1String(m.says)),
             qPrintable(status));
    Shot(&w, m.mode == ui.PartitionScanButton ? "volume-on-reformatted-card" : "deleted-on-reformatted-card");
    Click(ui.HomeButton);
  }
  // The advice holds: the files are found by their contents.
  QVERIFY(RunToEnd(w, FirstRow(w, true), ui.DeepScanButton, kPatienceMs));
  QVERIFY2(FoundPaths(w).size() >= 10, qPrintable(w.StatusText()));
}

// FAT32 formatted again with 8 KiB clusters: Deleted Recovery reads the new, empty volume and
// sends the person to Volume Recovery first, which gives every file of the card back by name.
// An intact volume with files and none deleted: Deleted Recovery says that no deleted file was
// found, not that the volume holds no entries.
void DeletedFlowTest::emptyDeletedScanPointsToVolumeRecoveryFirst() {
  testutil::FixtureManifest card;
  const std::string reformatted = testutil::Fixture("card-fat32-r.img");
  if (reformatted.empty() || !card.Load("card-fat32")) QSKIP("the card images were not built here");
  QTemporaryDir tmp;
  const QString disk = tmp.filePath("disk.img");
  QVERIFY(MakeDisk(QString::fromStdString(reformatted), 0x0C, disk));
  {
    ScopedDisks disks(disk);
    ShownWindow w;
    auto& ui = w.Form();
    QVERIFY(RunToEnd(w, FirstRow(w, true), ui.DeleteScanButton, kPatienceMs));
    const QString status = w.StatusText();
    QVERIFY2(status.startsWith("Scan finished: 0 files found. No deleted files were found.") &&
                 !status.contains("No file entries") &&
                 status.indexOf("Volume Recovery first") < status.indexOf("Deep Recovery"),
             qPrintable(status));
    Shot(&w, "deleted-on-card-with-other-clusters");
    Click(ui.HomeButton);
    QVERIFY(RunToEnd(w, FirstRow(w, true), ui.PartitionScanButton, kPatienceMs));
    const QStringList found = FoundPaths(w);
    int named = 0, present = 0;
    for (const testutil::ManifestEntry* e : card.Files()) {
      if (e->deleted || e->isDir) continue;
      ++present;
      for (const QString& f : found)
        if (f.endsWith(QString::fromStdString(e->path))) {
          ++named;
          break;
        }
    }
    QVERIFY2(present >= 30 && named == present, qPrintable(QString("%1 of %2 found by name").arg(named).arg(present)));
  }

  // An intact FAT16 volume holding the sample files, none deleted.
  const QString samples = QString::fromStdString(testutil::Fixture("samples"));
  if (samples.isEmpty() || !testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("mcopy"))
    QSKIP("mkfs.fat, mtools or the samples are missing here");
  const QString volume = tmp.filePath("intact.img");
  QVERIFY(ZeroFile(volume, 16 << 20));
  QCOMPARE(QProcess::execute("mkfs.fat", {"-F", "16", "-n", "INTACT", volume}), 0);
  QStringList copy = {"-i", volume, "-s"};
  for (const QString& f : QDir(samples).entryList(QDir::Files)) copy << samples + "/" + f;
  copy << "::/";
  QCOMPARE(QProcess::execute("mcopy", copy), 0);
  const QString intactDisk = tmp.filePath("intact-disk.img");
  QVERIFY(MakeDisk(volume, 0x06, intactDisk));
  ScopedDisks disks(intactDisk);
  ShownWindow w;
  QVERIFY(RunToEnd(w, FirstRow(w, true), w.Form().DeleteScanButton, kPatienceMs));
  const QString status = w.StatusText();
  QVERIFY2(status.startsWith("Scan finished: 0 files found. No deleted files were found.") &&
               !status.contains("No file entries"),
           qPrintable(status));
  Shot(&w, "deleted-on-intact-volume");
}

// Volume Recovery of a FAT32 disk formatted again and written to: old files whose clusters the
// new files took are listed, greyed, with a tooltip that says why they have no data, and the
// copy says the same for them; no file is made for them, and every other file is copied. On an
// exFAT volume, a deleted file that lay in two pieces and lost its chain says instead that its
// place on the disk is not known.
void DeletedFlowTest::filesWithoutDataAreMarkedAndTheCopySaysWhy() {
  const char* const taken = "its clusters now belong to other files";
  const char* const lost = "its place on the disk is not known";
  const struct {
    const char* image;
    int noData;
    const char* reason;
    const char* other;  // the other reason, which must not be said of them
  } cases[] = {{"fat32-reuse.img", 4, taken, lost}, {"exfat-matrix.img", 1, lost, taken}};
  int ran = 0;
  for (const auto& c : cases) {
    const std::string image = testutil::Fixture(c.image);
    if (image.empty()) continue;
    ++ran;
    const uint64_t before = testutil::FileChecksum(image);
    ScopedDisks disks(QString::fromStdString(image));
    ShownWindow w;
    auto& ui = w.Form();
    QVERIFY(RunToEnd(w, FirstRow(w, true), ui.PartitionScanButton, kPatienceMs));
    QVERIFY2(w.StatusText().contains("finished"), qPrintable(w.StatusText()));
    // Every file, and which of them have no data.
    QList<const QXQuickScanFileNode*> all, noData;
    QList<QTreeWidgetItem*> todo = {w.TopItem()};
    QTreeWidgetItem* shown = nullptr;
    while (!todo.isEmpty()) {
      QTreeWidgetItem* item = todo.takeFirst();
      if (QXFolderRecord* r = w.FolderRecordOf(item))
        for (const QXQuickScanFileNode* n : r->m_nodes) {
          all << n;
          if (n->m_flags & FF_NODATA) {
            noData << n;
            shown = item;
          }
        }
      for (int i = 0; i < item->childCount(); ++i) todo << item->child(i);
    }
    QCOMPARE(noData.size(), c.noData);
    QVERIFY(all.size() > noData.size());
    emit ui.resultTreeWidget->itemClicked(shown, 0);
    QTableWidget* table = ui.contantTableWidget;
    int greyed = 0;
    for (int r = 0; r < table->rowCount(); ++r) {
      QTableWidgetItem* name = table->item(r, 0);
      if (!name) continue;
      const bool without = std::any_of(noData.begin(), noData.end(), [&](const QXQuickScanFileNode* n) {
        return n->m_fileName == name->text();
      });
      const QColor colour = name->foreground().color();
      if (!without) {
        QCOMPARE(name->foreground().style(), Qt::NoBrush);
        continue;
      }
      ++greyed;
      QVERIFY2(name->toolTip().contains(QLatin1String(c.reason)), qPrintable(name->toolTip()));
      QVERIFY2(!name->toolTip().contains(QLatin1String(c.other)), qPrintable(name->toolTip()));
      QVERIFY(table->item(r, 1)->toolTip().contains(QLatin1String(c.reason)));
      QCOMPARE(table->item(r, 2)->foreground().color(), colour);
      QVERIFY(colour != table->palette().color(QPalette::Text));
    }
    QCOMPARE(greyed, c.noData);
    Shot(&w, qPrintable(QString("volume-files-without-data-%1").arg(c.image)));

    QTemporaryDir tmp;
    const QString target = tmp.filePath("out");
    QVERIFY(QDir().mkpath(target));
    QVERIFY(w.StartCopy(target));
    QTRY_VERIFY_WITH_TIMEOUT(!w.CopyRunning(), kPatienceMs);
    const QString status = w.StatusText();
    QVERIFY2(
        status.startsWith(QString("%1 files copied, %2 failed: ").arg(all.size() - c.noData).arg(c.noData) +
                          c.reason + " ("),
        qPrintable(status));
    const QStringList copied = FilesUnder(target + "/Velmora");
    QCOMPARE(copied.size(), all.size() - c.noData);
    for (const QXQuickScanFileNode* n : noData)
      QVERIFY2(!copied.contains(n->m_treePath), qPrintable(n->m_treePath));
    Shot(&w, qPrintable(QString("volume-files-without-data-copied-%1").arg(c.image)));
    QCOMPARE(testutil::FileChecksum(image), before);
  }
  if (!ran) QSKIP("the fixture images were not built here");
}

QTEST_MAIN(DeletedFlowTest)
#include "deleted_flow_test.moc"
