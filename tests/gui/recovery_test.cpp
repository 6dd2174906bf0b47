// The recovery flow of the main window: found files into the tree and table, preview, and the
// copy with its safety rules, over a scripted scanner and over the real engine's raw scan.
#include <QDialog>
#include <QDirIterator>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStyleOptionViewItem>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/ideviceio.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/ifileop.h"
#include "common/inc/inotifysink.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "filemanager/filemanager.h"
#include "frontend/copysafety.h"
#include "frontend/globals.h"
#include "frontend/recoverthread.h"
#include "frontend/sorbeckrecovery.h"
#include "rawrecovery/rawrecover.h"
#include "rawtestdev.h"
#include "screenshot.h"
#include "windowdriver.h"

namespace {

using namespace windowtest;

QByteArray Pattern(int size, int seed) {
  QByteArray b(size, 0);
  uint32_t x = uint32_t(seed) * 2654435761u + 1;
  for (int i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = char(x >> 16);
  }
  return b;
}

class FakeFile final : public IFileInfo {
 public:
  FakeFile(const QString& path, QByteArray data, int64_t readable = -1)
      : m_path(path), m_data(std::move(data)), m_readable(readable < 0 ? m_data.size() : readable) {
    m_name = path.section('/', -1);
  }
  uint64_t GetSize() override { return uint64_t(m_data.size()); }
  void SetSize(int64_t) override {}
  uint64_t GetCreateTime() override { return 0; }
  uint64_t GetModifyTime() override { return 0; }
  void SetTimes(uint64_t, uint64_t) override {}
  IRunList* GetRunList() override { return nullptr; }
  void SetRunList(IRunList*) override {}
  const char16_t* GetName() override { return reinterpret_cast<const char16_t*>(m_name.utf16()); }
  void SetName(const char16_t*) override {}
  uint32_t GetFlags() override { return m_flags; }
  void AddFlags(uint32_t) override {}
  void SetValidity(uint32_t) override {}
  uint32_t GetValidity() override { return 100; }
  int Save(IArchive*) override { return 0; }
  int Load(IArchive*) override { return 0; }
  IFolderInfo* GetParentFolder() override { return nullptr; }
  int GetFullPath(char16_t* buf, uint32_t* len) override {
    if (uint32_t(m_path.size()) >= *len) return RC_BUFFER_TOO_SMALL;
    std::memcpy(buf, m_path.utf16(), size_t(m_path.size()) * 2);
    buf[m_path.size()] = 0;
    return 0;
  }
  void Release() override {}

  QString m_path, m_name;
  QByteArray m_data;
  int64_t m_readable;
  uint32_t m_flags = 0;
};

// Reads the file's bytes; slow when asked, and failing past the file's readable length.
class FakeOp final : public IFileOP {
 public:
  FakeFile* file = nullptr;
  std::atomic<int> delayMs{0};
  // While set, every read waits: the copy stands still at its first file.
  std::atomic<bool> held{false};
  // When not -1, the reads after this many wait until it is set back to -1.
  std::atomic<int> holdAfter{-1};
  std::atomic<int> reads{0};
  int Read(void* buf, uint32_t len, uint64_t offset, uint32_t* got) override {
    const int nth = ++reads;
    while (held.load() || (holdAfter.load() >= 0 && nth > holdAfter.load()))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (delayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
    *got = 0;
    if (!file || offset >= uint64_t(file->m_readable)) return RC_READ_FAILED;
    uint32_t n = uint32_t(std::min<uint64_t>(len, uint64_t(file->m_readable) - offset));
    std::memcpy(buf, file->m_data.constData() + offset, n);
    *got = n;
    return 0;
  }
  int Write(const void*, uint32_t, uint64_t, uint32_t*) override { return RC_WRITE_PROTECTED; }
  int SetStorageDevice(IStorageDevice*) override { return 0; }
  IStorageDevice* GetStorageDevice() override { return nullptr; }
  void SetFile(IFileInfo* f) override { file = static_cast<FakeFile*>(f); }
  IFileInfo* GetFile() override { return file; }
  int Wipe(IFileInfo*, int, INotifySink*) override { return RC_FAIL; }
  int GetValidity(uint32_t*) override { return RC_FAIL; }
  int ExportEncrypted(const char16_t*) override { return RC_FAIL; }
  int MapOffset(uint64_t, uint64_t*) override { return RC_FAIL; }
};

class FakeScanner final : public ScriptedScanner {
 public:
  std::vector<FakeFile*> files;
  FakeOp op;
  ~FakeScanner() {
    for (auto* f : files) delete f;
  }
  int result = 0;
  // After its files, the scan goes on until it is stopped.
  std::atomic<bool> untilStopped{false};
  int Scan(INotifySink* sink) override {
    for (FakeFile* f : files)
      if (sink->Notify(NE_FOUND_FILE, 0, 0, f) != 0) return RC_CANCELLED;
    while (untilStopped.load()) {
      if (sink->Notify(NE_PERCENT, 50, 0, nullptr) != 0) return RC_CANCELLED;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return result;
  }
  void Add(const QString& path, const QByteArray& data, uint32_t flags = 0) {
    files.push_back(new FakeFile(path, data));
    files.back()->m_flags = flags;
  }
  int GetFileOp(IFileInfo* f, IFileOP** out) override {
    op.SetFile(f);
    *out = &op;
    return 0;
  }
};

// Answers only its path: enough for the copy to check its target against the scanned device.
class FakeIo final : public IDeviceIo {
 public:
  QByteArray path;
  int Close() override { return 0; }
  int Query(int code, void* out) override {
    if (code != DIQ_PATH) return -1;
    std::memcpy(out, path.constData(), size_t(path.size()) + 1);
    return 0;
  }
  int Open(const char*, int, int) override { return 0; }
  int Read(void*, int) override { return -1; }
  int Write(const void*, int) override { return -1; }
  int64_t Seek(int64_t, int) override { return -1; }
  bool IsOpen() override { return true; }
  void Release() override {}
  int GetOpenFlags() override { return KIO_RDONLY; }
};

// The disk, or its one partition (which reads through the disk's channel).
class FakeDisk final : public IDevice {
 public:
  FakeIo io;
  FakeDisk* wholeDisk = nullptr;
  const char* label = "Fake Volume";
  int GetType() override { return wholeDisk ? DT_PARTITION : DT_FIXED_DISK; }
  const char* GetName() override { return "fake"; }
  int GetSize(uint64_t* s) override {
    *s = 1 << 20;
    return 0;
  }
  int GetPartitionInfo(PartitionInfo* info) override {
    if (!wholeDisk) return RC_FAIL;
    std::memset(info, 0, sizeof *info);
    info->SectorCount = 2048;
    info->PartitionType = PT_NTFS;
    for (int i = 0; label[i]; ++i) info->Label[i] = char16_t(label[i]);
    return 0;
  }
  int GetGeometry(DiskGeometry* g) override {
    std::memset(g, 0, sizeof *g);
    const char* m = "Fake Disk";
    for (int i = 0; m[i]; ++i) g->Model[i] = char16_t(m[i]);
    g->DiskSize = 1 << 20;
    return 0;
  }
  int Read(void*, uint32_t) override { return RC_READ_FAILED; }
  int Write(const void*, uint32_t) override { return RC_WRITE_PROTECTED; }
  void Release() override {}
  int64_t Seek(int64_t, int) override { return -1; }
  int ReadSectors(int64_t, void*, uint32_t) override { return RC_READ_FAILED; }
  int WriteSectors(int64_t, const void*, uint32_t) override { return RC_WRITE_PROTECTED; }
  int Close() override { return 0; }
  IDeviceIo* GetIo() override { return wholeDisk ? &wholeDisk->io : &io; }
  int Save(IArchive*) override { return 0; }
  int Load(IArchive*) override { return 0; }
  int Open() override { return 0; }
};

class FakeEngine final : public IRecoveryManagement {
 public:
  FakeDisk disk;
  FakeDisk volume;
  FakeScanner scanner;
  // When set, the scan is the engine's own raw scan of this storage, through a real results tree.
  IStorageDevice* rawStorage = nullptr;
  // A partition that the lost-partition search reports, when asked to.
  FakeDisk found;
  bool offerFound = false;
  FakeEngine() { volume.wholeDisk = found.wholeDisk = &disk; }
  // The disk is an empty image file in `dir`, so that a copy can be checked against its path.
  explicit FakeEngine(const QTemporaryDir& dir) : FakeEngine() {
    disk.io.path = dir.filePath("disk.img").toLocal8Bit();
    QFile(dir.filePath("disk.img")).open(QIODevice::WriteOnly);
  }
  int EnumDevices(IDevice** out, int* count, int) override {
    out[0] = &disk;
    out[1] = &volume;
    out[2] = nullptr;
    *count = 2;
    return 0;
  }
  int LoadScanResult(const char16_t*, IScanOperator**, int) override { return RC_FAIL; }
  int CreateScanOperator(IDevice*, int, IFileManager** m, IScanOperator** out) override {
    *m = nullptr;
    *out = &scanner;
    if (rawStorage) {
      CFileManager* manager = new CFileManager;
      manager->SetStorageDevice(rawStorage);
      CRawRecover* raw = new CRawRecover;
      raw->SetDevice(rawStorage);
      raw->SetFileManager(manager);
      *m = manager;
      *out = raw;
    }
    return 0;
  }
  void Release() override {}
  int SearchPartitions(IDevice*, int, INotifySink* sink) override {
    if (!offerFound) return RC_FAIL;
    sink->Notify(NE_PARTITION_FOUND, 0, 0, &found);
    return 0;
  }
};

// Runs a deleted-file scan of the disk's partition through the window and waits for its end.
void ScanThroughWindow(SorbeckRecovery& w) {
  QVERIFY(RunToEnd(w, FirstRow(w, true), w.Form().DeleteScanButton));
}

// A deleted-file scan of the given files run through the window, over a disk image in a folder
// of its own.
struct ScannedFiles {
  QTemporaryDir tmp;
  FakeEngine engine{tmp};
  ShownWindow window{&engine};
  explicit ScannedFiles(std::initializer_list<std::pair<QString, QByteArray>> files) {
    for (const auto& f : files) engine.scanner.Add(f.first, f.second);
    ScanThroughWindow(window);
  }
};

bool PrefixMatch(const QByteArray& carved, const QByteArray& orig) {
  const int n = qMin(carved.size(), orig.size());
  if (n == 0 || std::memcmp(carved.constData(), orig.constData(), size_t(n)) != 0) return false;
  const QByteArray& longer = carved.size() > orig.size() ? carved : orig;
  for (int i = n; i < longer.size(); ++i)
    if (longer[i] != 0) return false;
  return true;
}

}  // namespace

class RecoveryTest : public QObject {
  Q_OBJECT

 private slots:
  void treeTableTicksAndCopy();
  void copyKeepsNamesInsideAndNeverOverwrites();
  void copyBlocksEverythingElseAndCloseExits();
  void targetOnScannedDeviceRefused();
  void realRawScanCopyPreviewAndStop();
  void traceFileOnlyIntoItsFolder();
  void ticksFollowTheirFolderAndShowPartialStates();
  void copyToAFullFileSystemSaysWhy();
  void secondCopyNamesTheRenamedFiles();
  void tiffPreviewAndPreviewClearedElsewhere();
  void scanWithUnreadableAreasIsAPartialSuccess();
  void sizeColumnSortsByBytes();
  void treeHighlightFollowsTheTickedFolder();
  void recoverWithNothingTickedMakesNothing();
  void noPreviewWhileTheScanRuns();
  void copyTakesTheFilesTickedAtItsStart();
  void tableFollowsTheTreeHighlightFromTheKeys();
  void manyFilesShowTheWholeScrollBar();
  void resultsRootNamesTheScannedDisk();
  void emptyScanSaysWhatToDoNext();
  void filesWithoutDataSayWhyInTheTableThePreviewAndTheCopy();
};

namespace {

QImage Card(QColor c) {
  QImage img(64, 48, QImage::Format_RGB32);
  img.fill(c);
  return img;
}

QByteArray Encoded(const QImage& img, const char* format) {
  QBuffer buf;
  buf.open(QIODevice::WriteOnly);
  return img.save(&buf, format) ? buf.data() : QByteArray();
}

QTableWidgetItem* Row(SorbeckRecovery& w, const QString& name) {
  return w.Form().contantTableWidget->findItems(name, Qt::MatchExactly).value(0);
}

QLabel* StatusLabel(SorbeckRecovery& w) { return w.findChild<QLabel*>("resultStatuslab"); }

using testutil::Shot;

}  // namespace

void RecoveryTest::traceFileOnlyIntoItsFolder() {
  FakeEngine engine;
  SorbeckRecovery w(&engine);
  const QString dir = QCoreApplication::applicationDirPath() + "/SorbeckRecovery";
  QDir(dir).removeRecursively();
  w.writeNumber(0, "scan before");
  // Without the folder nothing is written, not even beside it.
  QVERIFY(!QFileInfo::exists(dir));
  QVERIFY(!QFileInfo::exists(QCoreApplication::applicationDirPath() + "/SorbeckRecovery0.txt"));
  QVERIFY(QDir().mkpath(dir));
  w.writeNumber(0, "scan before");
  w.writeNumber(0, "scan after");
  w.writeNumber(1, "false");
  QCOMPARE(ReadAll(dir + "/0.txt"), QByteArray("scan after"));
  QCOMPARE(ReadAll(dir + "/1.txt"), QByteArray("false"));
  QDir(dir).removeRecursively();
}

void RecoveryTest::treeTableTicksAndCopy() {
  ScannedFiles scan({{"/docs/a.txt", Pattern(100, 1)},
                     {"/top.bin", Pattern(0x80001, 2)},
                     {"/docs/sub/c.png", Pattern(0x80000, 3)},
                     {"/docs/b.txt", Pattern(7, 4)},
                     {"/docs/z.txt", Pattern(3000, 5)}});
  ShownWindow& w = scan.window;
  QVERIFY(w.StatusText().contains("finished"));
  QTreeWidget* tree = w.Form().resultTreeWidget;
  QCOMPARE(tree->topLevelItemCount(), 1);
  QTreeWidgetItem* top = w.TopItem();
  // A file in the volume's root hangs under the top item instead of being unreachable.
  QVERIFY(w.FolderRecordOf(top));
  QCOMPARE(w.FolderRecordOf(top)->m_nodes.size(), 1);
  QTreeWidgetItem* docs = Child(top, "docs");
  QVERIFY(docs && Child(docs, "sub"));
  QCOMPARE(w.FolderRecordOf(docs)->m_nodes.size(), 3);

  // The table after sorting: each row still ticks its own file.
  emit tree->itemClicked(docs, 0);
  QTableWidget* table = w.Form().contantTableWidget;
  QCOMPARE(table->rowCount(), 8);
  table->sortItems(0, Qt::DescendingOrder);
  QCOMPARE(table->item(0, 0)->text(), QStringLiteral("z.txt"));
  table->item(0, 0)->setCheckState(Qt::Unchecked);
  table->item(2, 0)->setCheckState(Qt::Unchecked);
  for (QXQuickScanFileNode* n : w.FolderRecordOf(docs)->m_nodes)
    QCOMPARE(int(n->m_checked), n->m_fileName == "a.txt" || n->m_fileName == "z.txt" ? 0 : 1);
  table->item(2, 0)->setCheckState(Qt::Checked);

  // Unticking a folder unticks its subfolders' files; ticking it again brings them back.
  docs->setCheckState(0, Qt::Unchecked);
  QCOMPARE(int(w.FolderRecordOf(Child(docs, "sub"))->m_nodes[0]->m_checked), 0);
  QCOMPARE(Child(docs, "sub")->checkState(0), Qt::Unchecked);
  docs->setCheckState(0, Qt::Checked);
  emit tree->itemClicked(docs, 0);
  table->sortItems(0, Qt::DescendingOrder);
  table->item(0, 0)->setCheckState(Qt::Unchecked);

  const QString target = scan.tmp.filePath("out");
  QDir().mkpath(target);
  QVERIFY(w.StartCopy(target));
  QTRY_VERIFY(!w.CopyRunning());
  const QString root = target + "/Velmora";
  QCOMPARE(FilesUnder(root), QStringList({"docs/a.txt", "docs/b.txt", "docs/sub/c.png", "top.bin"}));
  QCOMPARE(ReadAll(root + "/top.bin"), Pattern(0x80001, 2));
  QCOMPARE(ReadAll(root + "/docs/sub/c.png"), Pattern(0x80000, 3));
  QCOMPARE(ReadAll(root + "/docs/a.txt"), Pattern(100, 1));
  QVERIFY(w.StatusText().contains("4 files copied"));
  QVERIFY(w.StatusText().contains("0 failed"));
  QVERIFY(w.Form().recoveryBtn->isEnabled() && w.Form().HomeButton->isEnabled());

  // Home empties the tree; the table no longer leads to freed files.
  Click(w.Form().HomeButton);
  QCOMPARE(tree->topLevelItemCount(), 0);
  QVERIFY(!w.TopItem());
}

void RecoveryTest::copyKeepsNamesInsideAndNeverOverwrites() {
  QTemporaryDir tmp;
  FakeScanner scanner;
  struct Case {
    const char* path;
    int seed;
    int64_t readable;
  } cases[] = {{"../x", 1, -1},          {"/../../y", 2, -1},    {"a/b", 3, -1},       {"/d/same.txt", 4, -1},
               {"/d/same.txt", 5, -1},   {"/keep.txt", 6, -1},   {"/d/bad\x01na\\me", 7, -1},
               {"/d/short.bin", 8, 600000}, {"/.", 9, -1}};
  std::vector<QXQuickScanFileNode> nodes(sizeof cases / sizeof cases[0]);
  QXFolderRecord record;
  for (size_t i = 0; i < nodes.size(); ++i) {
    FakeFile* f = new FakeFile(QString::fromLatin1(cases[i].path), Pattern(700000 + int(i), cases[i].seed),
                               cases[i].readable);
    scanner.files.push_back(f);
    nodes[i].m_file = f;
    nodes[i].m_fullPath = f->m_path;
    nodes[i].m_fileName = f->m_name;
    nodes[i].m_size = uint64_t(f->m_data.size());
    record.m_nodes << &nodes[i];
  }
  const QString target = tmp.filePath("t/Velmora");
  QDir().mkpath(target);
  {
    QFile keep(target + "/keep.txt");
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.write("the user's own file");
  }
  JMRecoverFileThreader copy;
  QSignalSpy progress(&copy, &JMRecoverFileThreader::singalRecoverProgress);
  copy.SetRecoverParams({&record}, target, &scanner);
  copy.start();
  QVERIFY(copy.wait(kPatienceMs));
  QCOMPARE(copy.Copied(), 8);
  QCOMPARE(copy.Failed(), 1);
  // Progress counts bytes: it moves while the first file (two chunks) is copied, only forward,
  // and ends at 100 though a file failed.
  QList<int> said;
  for (const QList<QVariant>& args : progress) said << args.at(0).toInt();
  QVERIFY(said.size() >= 9);
  QCOMPARE(said.first(), 0);
  QCOMPARE(said.last(), 100);
  for (int i = 1; i < said.size(); ++i) QVERIFY(said[i] > said[i - 1]);
  const int firstFileEnds = int(uint64_t(nodes[0].m_size) * 100 / (700000ull * 9 + 36));
  QVERIFY2(said[1] > 0 && said[1] < firstFileEnds, qPrintable(QString("%1 of %2").arg(said[1]).arg(firstFileEnds)));
  QVERIFY(copy.Failures().value(0).startsWith("/d/short.bin: reading stopped at byte 600000"));
  // Nothing escaped the target folder.
  QCOMPARE(FilesUnder(tmp.filePath("t")).filter(QRegularExpression("^Velmora/")).size(), 9);
  QCOMPARE(FilesUnder(tmp.path()).size(), 9);
  QCOMPARE(ReadAll(target + "/_/x"), Pattern(700000, 1));
  QCOMPARE(ReadAll(target + "/_/_/y"), Pattern(700001, 2));
  QCOMPARE(ReadAll(target + "/a/b"), Pattern(700002, 3));
  // Two files of one path are both kept; an existing file is never replaced.
  QCOMPARE(ReadAll(target + "/d/same.txt"), Pattern(700003, 4));
  QCOMPARE(ReadAll(target + "/d/same (2).txt"), Pattern(700004, 5));
  QCOMPARE(ReadAll(target + "/keep.txt"), QByteArray("the user's own file"));
  QCOMPARE(ReadAll(target + "/keep (2).txt"), Pattern(700005, 6));
  QCOMPARE(ReadAll(target + "/d/bad_na_me"), Pattern(700006, 7));
  QCOMPARE(ReadAll(target + "/_ (2)"), Pattern(700008, 9));
  // The file cut short is not left behind as if it were good.
  QVERIFY(!QFile::exists(target + "/d/short.bin"));

  QCOMPARE(SanitiseComponent(".."), QStringLiteral("_"));
  QCOMPARE(SanitiseComponent(QString(300, QChar(0xe9))).toUtf8().size(), 240);
  QCOMPARE(NumberedName("a.tar.gz", 3), QStringLiteral("a.tar (3).gz"));
  QCOMPARE(NumberedName(".profile", 2), QStringLiteral(".profile (2)"));
  QVERIFY(!IsInsideFolder("/t/V", "/t/V/../W/x"));
  QVERIFY(IsInsideFolder("/t/V", "/t/V/a/b"));
}

void RecoveryTest::copyBlocksEverythingElseAndCloseExits() {
  QTemporaryDir tmp;
  auto* engine = new FakeEngine(tmp);
  for (int i = 0; i < 3; ++i)
    engine->scanner.files.push_back(new FakeFile(QString("/p/%1.png").arg(i), Pattern(8 << 20, i)));
  auto* w = new ShownWindow(engine);
  ScanThroughWindow(*w);
  emit w->Form().resultTreeWidget->itemClicked(Child(w->TopItem(), "p"), 0);
  engine->scanner.op.delayMs = 40;
  // The copy stands still inside the first 8 MiB file (16 chunks), however slow the machine.
  engine->scanner.op.holdAfter = 4;
  const QString target = tmp.filePath("out");
  QDir().mkpath(target);
  QVERIFY(w->StartCopy(target));
  QVERIFY(w->CopyRunning());
  // The status moves inside that file, by the bytes copied.
  const QRegularExpression percent(" (\\d+)%$");
  QTRY_VERIFY_WITH_TIMEOUT(percent.match(w->StatusText()).captured(1).toInt() > 0, kPatienceMs);
  const int shown = percent.match(w->StatusText()).captured(1).toInt();
  QVERIFY2(shown < 33 && engine->scanner.op.reads.load() <= 5,
           qPrintable(QString("%1 after %2 reads").arg(w->StatusText()).arg(engine->scanner.op.reads.load())));
  Shot(w, "results-page-copy-progress");
  engine->scanner.op.holdAfter = -1;
  QVERIFY(!w->Form().recoveryBtn->isEnabled());
  QVERIFY(!w->Form().HomeButton->isEnabled());
  QVERIFY(!w->StartCopy(target));
  w->ClickHomeAction();
  QVERIFY(w->Form().Resultframe->isVisible());
  QVERIFY(w->TopItem());
  emit w->Form().contantTableWidget->itemClicked(w->Form().contantTableWidget->item(0, 0));
  QVERIFY(!w->PreviewRunning());
  QVERIFY(w->StatusText().contains("Preview is not available"));
  w->ClickScanDeleteDiskAction();
  QVERIFY(!w->ScanRunning());
  // Closing mid-copy stops it between chunks and leaves no half-written file.
  QVERIFY(w->close());
  QVERIFY(!w->CopyRunning());
  delete w;
  delete engine;
  for (const QString& f : FilesUnder(target + "/Velmora"))
    QCOMPARE(ReadAll(target + "/Velmora/" + f).size(), 8 << 20);
}

void RecoveryTest::targetOnScannedDeviceRefused() {
  QTemporaryDir tmp;
  const QString image = tmp.filePath("vol.img");
  QVERIFY(TargetRefusal(tmp.path(), QString()).contains("could not be identified"));
  {
    QFile f(image);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(32 << 20));
  }
  // Beside the image is fine; the image itself is not.
  QCOMPARE(TargetRefusal(tmp.path(), image), QString());
  QVERIFY(!TargetRefusal(image, image).isEmpty());

  const QString mkfs = QStandardPaths::findExecutable("mkfs.ext2", {"/usr/sbin", "/sbin"});
  if (mkfs.isEmpty() || QProcess::execute(mkfs, {"-q", "-F", image}) != 0) QSKIP("mkfs.ext2 is not usable here");
  QProcess lo;
  lo.start("losetup", {"--find", "--show", "--partscan", image});
  if (!lo.waitForFinished(20000) || lo.exitCode() != 0) QSKIP("no loop device can be set up here");
  const QString loop = QString::fromLocal8Bit(lo.readAllStandardOutput()).trimmed();
  const QString mnt = tmp.filePath("mnt");
  QDir().mkpath(mnt);
  const bool mounted = QProcess::execute("mount", {loop, mnt}) == 0;
  if (mounted) {
    QDir().mkpath(mnt + "/deep");
    QVERIFY(TargetRefusal(mnt + "/deep", loop).contains("device being recovered"));
    QVERIFY(TargetRefusal(mnt, image).contains("inside the scanned image"));
    QCOMPARE(TargetRefusal(tmp.path(), loop), QString());
    QProcess::execute("umount", {mnt});
  }
  QProcess::execute("losetup", {"-d", loop});
  if (!mounted) QSKIP("the loop device cannot be mounted here");
}

void RecoveryTest::realRawScanCopyPreviewAndStop() {
  QTemporaryDir tmp;
  // Real pictures, each cluster-aligned and followed by zeros, in a disk image without partitions.
  std::map<QString, QByteArray> originals;
  std::map<QString, QColor> colours;
  QByteArray disk(8192, 0);
  for (int i = 0; i < 6; ++i) {
    QImage img(120 + 13 * i, 90 + 7 * i, QImage::Format_RGB32);
    const QColor c = QColor::fromHsv(i * 50, 200, 220);
    img.fill(c);
    QPainter p(&img);
    for (int k = 0; k < 40; ++k) p.fillRect((k * 37 + i) % img.width(), (k * 23) % img.height(), 5, 5, Qt::black);
    p.end();
    const char* fmt = i % 2 ? "BMP" : "PNG";
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    QVERIFY(img.save(&buf, fmt));
    const QString name = QString("%1.%2").arg(i).arg(QString(fmt).toLower());
    originals[name] = buf.data();
    colours[name] = c;
    disk += buf.data();
    disk += QByteArray(int((4096 - disk.size() % 4096) % 4096) + 16384, 0);
  }
  disk += QByteArray(1 << 20, 0);
  const QString image = tmp.filePath("raw.img");
  {
    QFile f(image);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(disk);
  }
  ScopedDisks disks(image);
  ShownWindow w;
  if (!g_Devices[0]) QSKIP("the engine lists no disk here");
  QCOMPARE(w.Form().allDiskTreeWidget->topLevelItemCount(), 1);
  QVERIFY(RunToEnd(w, FirstRow(w, false), w.Form().DeepScanButton, kPatienceMs));
  QVERIFY2(w.StatusText().contains("finished"),
           qPrintable(w.StatusText() + "|" + w.Form().Tiplab->text() + "|" + w.Form().currentfilelocation->text()));

  QTreeWidgetItem* imageFolder = Child(w.TopItem(), "Image");
  QVERIFY(imageFolder);
  int found = 0;
  QTreeWidgetItem* pngFolder = nullptr;
  for (int i = 0; i < imageFolder->childCount(); ++i) {
    QTreeWidgetItem* sub = imageFolder->child(i);
    if (QXFolderRecord* r = w.FolderRecordOf(sub)) found += r->m_nodes.size();
    if (sub->text(0).compare("png", Qt::CaseInsensitive) == 0) pngFolder = sub;
  }
  QCOMPARE(found, 6);
  QVERIFY(pngFolder);

  // Everything ticked and copied; each copy is one of the originals, byte for byte.
  const QString target = tmp.filePath("out");
  QDir().mkpath(target);
  QVERIFY(w.StartCopy(target));
  QTRY_VERIFY_WITH_TIMEOUT(!w.CopyRunning(), kPatienceMs);
  const QStringList copied = FilesUnder(target + "/Velmora");
  QCOMPARE(copied.size(), 6);
  std::map<QString, QString> originalOf;
  for (const QString& c : copied) {
    QVERIFY2(c.startsWith("Image/"), qPrintable(c));
    const QByteArray data = ReadAll(target + "/Velmora/" + c);
    for (const auto& kv : originals)
      if (PrefixMatch(data, kv.second)) originalOf[QFileInfo(c).fileName()] = kv.first;
    QVERIFY2(originalOf.count(QFileInfo(c).fileName()), qPrintable(c));
  }
  QVERIFY(!w.StartCopy(image));

  // Sorted descending, the first row previews its own picture.
  emit w.Form().resultTreeWidget->itemClicked(pngFolder, 0);
  QTableWidget* table = w.Form().contantTableWidget;
  table->sortItems(0, Qt::DescendingOrder);
  QTableWidgetItem* first = table->item(0, 1);
  QVERIFY(first);
  const QString shownName = table->item(0, 0)->text();
  emit table->itemClicked(first);
  QTRY_VERIFY(!w.PreviewRunning());
  const QImage shown = w.Form().ContactImagelab->pixmap(Qt::ReturnByValue).toImage();
  QVERIFY(originalOf.count(shownName));
  const QImage original = QImage::fromData(originals[originalOf[shownName]]);
  QVERIFY2(PreviewKeepsShape(shown.size(), original.size()),
           qPrintable(QString("%1x%2 shown for %3x%4")
                          .arg(shown.width())
                          .arg(shown.height())
                          .arg(original.width())
                          .arg(original.height())));
  QCOMPARE(QColor(shown.pixel(2, 2)).name(), colours[originalOf[shownName]].name());

  // A scan stopped midway ends as stopped, over a larger image.
  Click(w.Form().HomeButton);
  {
    QFile f(image);
    QVERIFY(f.open(QIODevice::ReadWrite) && f.resize(qint64(3) << 30));
  }
  Start(w, FirstRow(w, false), w.Form().DeepScanButton);
  QVERIFY(w.ScanRunning());
  Click(w.Form().scanStopBtn);
  QTRY_VERIFY_WITH_TIMEOUT(!w.ScanRunning(), kPatienceMs);
  QVERIFY2(w.StatusText().contains("stopped"), qPrintable(w.StatusText()));
}

void RecoveryTest::ticksFollowTheirFolderAndShowPartialStates() {
  ScannedFiles scan({{"/A/a1.jpg", Pattern(1000, 1)},
                     {"/A/a2.txt", Pattern(200, 2)},
                     {"/B/b1.txt", Pattern(30, 3)},
                     {"/B/sub/b2.txt", Pattern(4, 4)}});
  ShownWindow& w = scan.window;
  auto& ui = w.Form();
  QTreeWidget* tree = ui.resultTreeWidget;
  QTreeWidgetItem* top = w.TopItem();
  QTreeWidgetItem* a = Child(top, "A");
  QTreeWidgetItem* b = Child(top, "B");
  QTreeWidgetItem* sub = Child(b, "sub");
  QVERIFY(a && b && sub);
  QCOMPARE(w.TickedCount(), 4);
  QCOMPARE(ui.allfilecountbotlab->text(), QStringLiteral("4"));
  QCOMPARE(ui.allfileSizebotlab->text(), QStringLiteral("1.21 KB"));

  // One file of A unticked: A and the top are partly ticked, and the count follows.
  emit tree->itemClicked(a, 0);
  Row(w, "a1.jpg")->setCheckState(Qt::Unchecked);
  QCOMPARE(a->checkState(0), Qt::PartiallyChecked);
  QCOMPARE(top->checkState(0), Qt::PartiallyChecked);
  QCOMPARE(b->checkState(0), Qt::Checked);
  QCOMPARE(ui.checkBox_Image->checkState(), Qt::PartiallyChecked);
  QCOMPARE(ui.allfilecountbotlab->text(), QStringLiteral("3"));
  QCOMPARE(ui.allfileSizebotlab->text(), QStringLiteral("234 bytes"));

  // B unticked and ticked again, each time shown as a click does: A's file stays unticked.
  for (Qt::CheckState s : {Qt::Unchecked, Qt::Checked}) {
    b->setCheckState(0, s);
    emit tree->itemClicked(b, 0);
    QCOMPARE(sub->checkState(0), s);
    QCOMPARE(ui.checkBox_Image->checkState(), s);
    emit tree->itemClicked(a, 0);
    QCOMPARE(Row(w, "a1.jpg")->checkState(), Qt::Unchecked);
    QCOMPARE(Row(w, "a2.txt")->checkState(), Qt::Checked);
    QCOMPARE(a->checkState(0), Qt::PartiallyChecked);
  }
  QCOMPARE(w.TickedCount(), 3);

  // A subfolder unticked leaves its parent partly ticked; unticking the parent's own file too
  // leaves nothing ticked under it.
  sub->setCheckState(0, Qt::Unchecked);
  QCOMPARE(b->checkState(0), Qt::PartiallyChecked);
  emit tree->itemClicked(b, 0);
  QCOMPARE(ui.checkBox_Image->checkState(), Qt::Checked);
  Row(w, "b1.txt")->setCheckState(Qt::Unchecked);
  QCOMPARE(b->checkState(0), Qt::Unchecked);
  QCOMPARE(w.TickedCount(), 1);

  // The check-all box of a partly ticked folder ticks its own files, not its subfolders.
  emit tree->itemClicked(a, 0);
  Click(ui.checkBox_Image);
  QCOMPARE(ui.checkBox_Image->checkState(), Qt::Checked);
  QCOMPARE(a->checkState(0), Qt::Checked);
  QCOMPARE(Row(w, "a1.jpg")->checkState(), Qt::Checked);
  QCOMPARE(sub->checkState(0), Qt::Unchecked);
  QCOMPARE(w.TickedCount(), 2);
  QCOMPARE(top->checkState(0), Qt::PartiallyChecked);

  // The top ticks everything; the copy then takes exactly what is ticked.
  top->setCheckState(0, Qt::Checked);
  QCOMPARE(sub->checkState(0), Qt::Checked);
  QCOMPARE(w.TickedCount(), 4);
  emit tree->itemClicked(b, 0);
  Row(w, "b1.txt")->setCheckState(Qt::Unchecked);

  // The tick-all box in the File Name header is drawn in all three states: each one differs
  // from the header without the box, and from the other two.
  auto boxPicture = [&] {
    QCoreApplication::processEvents();
    return w.grab(QRect(ui.checkBox_Image->mapTo(&w, QPoint(0, 0)), ui.checkBox_Image->size())).toImage();
  };
  auto differing = [](const QImage& x, const QImage& y) {
    int n = 0;
    for (int py = 0; py < x.height(); ++py)
      for (int px = 0; px < x.width(); ++px) {
        const QColor cx = x.pixelColor(px, py), cy = y.pixelColor(px, py);
        n += qAbs(cx.lightness() - cy.lightness()) > 40;
      }
    return n;
  };
  ui.checkBox_Image->hide();
  const QImage header = boxPicture();
  ui.checkBox_Image->show();
  QCOMPARE(ui.checkBox_Image->checkState(), Qt::Unchecked);
  const QImage unticked = boxPicture();
  emit tree->itemClicked(a, 0);
  QCOMPARE(ui.checkBox_Image->checkState(), Qt::Checked);
  const QImage ticked = boxPicture();
  Row(w, "a1.jpg")->setCheckState(Qt::Unchecked);
  QCOMPARE(ui.checkBox_Image->checkState(), Qt::PartiallyChecked);
  const QImage partly = boxPicture();
  Row(w, "a1.jpg")->setCheckState(Qt::Checked);
  const struct {
    const char* state;
    const QImage& picture;
  } states[] = {{"unticked", unticked}, {"ticked", ticked}, {"partly ticked", partly}};
  for (const auto& st : states)
    QVERIFY2(differing(st.picture, header) >= 16,
             qPrintable(QString("the %1 box draws %2 pixels").arg(st.state).arg(differing(st.picture, header))));
  QVERIFY(differing(unticked, ticked) >= 4 && differing(unticked, partly) >= 4 && differing(ticked, partly) >= 4);
  emit tree->itemClicked(b, 0);
  Shot(&w, "results-page-unticked-box");

  const QString target = scan.tmp.filePath("out");
  QDir().mkpath(target);
  QVERIFY(w.StartCopy(target));
  QTRY_VERIFY(!w.CopyRunning());
  QCOMPARE(FilesUnder(target + "/Velmora"), QStringList({"A/a1.jpg", "A/a2.txt", "B/sub/b2.txt"}));
  Shot(&w, "results-page-partial-ticks");
}

void RecoveryTest::copyToAFullFileSystemSaysWhy() {
  QTemporaryDir tmp;
  const QString mnt = tmp.filePath("small");
  QDir().mkpath(mnt);
  if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", mnt}) != 0)
    QSKIP("a small tmpfs cannot be mounted here");
  struct Unmount {
    QString at;
    ~Unmount() { QProcess::execute("umount", {at}); }
  } unmount{mnt};
  ScannedFiles scan(
      {{"/Pictures/Family/grandma with the whole family at the lake in summer.jpg", Pattern(300000, 7)}});
  ShownWindow& w = scan.window;
  QVERIFY(w.StartCopy(mnt));
  QTRY_VERIFY(!w.CopyRunning());
  const QString status = w.StatusText();
  QVERIFY2(status.contains("0 files copied") && status.contains("1 failed"), qPrintable(status));
  QVERIFY2(status.contains(QString::fromLocal8Bit(std::strerror(ENOSPC))), qPrintable(status));
  QVERIFY(!status.contains("Unknown error"));
  // The long text stays on its line between the buttons, shortened, and whole in the tooltip.
  QLabel* label = StatusLabel(w);
  QVERIFY(label->isVisible());
  for (const QString& line : label->text().split('\n'))
    QVERIFY2(label->fontMetrics().horizontalAdvance(line) <= label->width(), qPrintable(line));
  QVERIFY(label->text().size() < status.size());
  QVERIFY(label->toolTip().startsWith(status));
  QVERIFY(!label->geometry().intersects(w.Form().HomeButton->geometry()));
  QVERIFY(!label->geometry().intersects(w.Form().recoveryBtn->geometry()));
  QVERIFY(QRect(QPoint(0, 0), w.centralWidget()->size())
              .contains(QRect(label->mapTo(w.centralWidget(), QPoint(0, 0)), label->size())));
  // Nothing half-written is left to look like a recovered picture.
  QCOMPARE(FilesUnder(mnt + "/Velmora"), QStringList());
  Shot(&w, "results-page-disk-full");
}

void RecoveryTest::secondCopyNamesTheRenamedFiles() {
  ScannedFiles scan({{"/Family/grandma.jpg", Pattern(5000, 1)}, {"/Family/notes.txt", Pattern(50, 2)}});
  ShownWindow& w = scan.window;
  const QString target = scan.tmp.filePath("out");
  QDir().mkpath(target);
  QVERIFY(w.StartCopy(target));
  QTRY_VERIFY(!w.CopyRunning());
  QVERIFY(!w.StatusText().contains("new names"));
  QVERIFY(w.StatusText().contains("Folder: " + target + "/Velmora"));
  QVERIFY(w.StartCopy(target));
  QTRY_VERIFY(!w.CopyRunning());
  const QString status = w.StatusText();
  QVERIFY2(status.contains("2 files copied") && status.contains("grandma (2).jpg") &&
               status.contains("notes (2).txt"),
           qPrintable(status));
  QCOMPARE(ReadAll(target + "/Velmora/Family/grandma (2).jpg"), Pattern(5000, 1));
  QVERIFY(StatusLabel(w)->toolTip().contains("Family/grandma (2).jpg"));
  // The folder has a line of its own, whole; the new names are a click away.
  QCOMPARE(StatusLabel(w)->text().section('\n', 1), "Folder: " + target + "/Velmora");
  QPushButton* details = w.findChild<QPushButton*>("statusDetailsBtn");
  QVERIFY(details && details->isVisible());
  QVERIFY(!details->geometry().intersects(StatusLabel(w)->geometry()));
  QVERIFY(!details->geometry().intersects(w.Form().recoveryBtn->geometry()));
  Shot(&w, "results-page-renamed");
  Click(details);
  QDialog* list = w.findChild<QDialog*>("statusDetailsDialog");
  QVERIFY(list && list->isVisible());
  const QString names = list->findChild<QPlainTextEdit*>("statusDetailsText")->toPlainText();
  QVERIFY2(names.contains("Family/grandma (2).jpg") && names.contains("Family/notes (2).txt"), qPrintable(names));
  Shot(list, "results-page-renamed-details");
  list->close();

  // A folder too long for its line keeps its start and its end.
  const QString deep = scan.tmp.filePath(QString("very long folder name ").repeated(8).trimmed());
  QVERIFY(QDir().mkpath(deep));
  QVERIFY(w.StartCopy(deep));
  QTRY_VERIFY(!w.CopyRunning());
  const QString folderLine = StatusLabel(w)->text().section('\n', 1);
  QVERIFY2(folderLine.startsWith("Folder: /") && folderLine.endsWith("/Velmora") && folderLine.contains(QChar(0x2026)) &&
               StatusLabel(w)->fontMetrics().horizontalAdvance(folderLine) <= StatusLabel(w)->width(),
           qPrintable(folderLine));
  QVERIFY(w.StatusText().contains(deep + "/Velmora"));
  // Nothing renamed there: no list to open.
  QVERIFY(!details->isVisible());
}

void RecoveryTest::sizeColumnSortsByBytes() {
  ScannedFiles scan({{"/s/big.jpg", Pattern(505200, 1)},
                     {"/s/mid.txt", Pattern(51722, 2)},
                     {"/s/small.txt", Pattern(900, 3)},
                     {"/s/huge.bin", Pattern(2 << 20, 4)}});
  ShownWindow& w = scan.window;
  emit w.Form().resultTreeWidget->itemClicked(Child(w.TopItem(), "s"), 0);
  QTableWidget* table = w.Form().contantTableWidget;
  QCOMPARE(Row(w, "big.jpg")->row() >= 0, true);
  QCOMPARE(table->item(Row(w, "big.jpg")->row(), 1)->text(), QStringLiteral("493.36 KB"));
  // By clicking the column's header, as a person sorts.
  QHeaderView* header = table->horizontalHeader();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(1) + 20, 10));
  QStringList order;
  for (int r = 0; r < 4; ++r) order << table->item(r, 0)->text();
  if (header->sortIndicatorOrder() == Qt::DescendingOrder) std::reverse(order.begin(), order.end());
  QCOMPARE(order, QStringList({"small.txt", "mid.txt", "big.jpg", "huge.bin"}));
  table->sortItems(1, Qt::DescendingOrder);
  QCOMPARE(table->item(0, 0)->text(), QStringLiteral("huge.bin"));
  QCOMPARE(table->item(3, 0)->text(), QStringLiteral("small.txt"));
  Shot(&w, "results-page-sorted-by-size");
}

namespace {

// Where the tick box of a tree item is drawn, in the tree's viewport.
QPoint TickBoxOf(QTreeWidget* tree, QTreeWidgetItem* item) {
  QStyleOptionViewItem opt;
  opt.initFrom(tree->viewport());
  opt.rect = tree->visualItemRect(item);
  opt.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay |
                 QStyleOptionViewItem::HasDecoration;
  opt.decorationSize = tree->iconSize().isValid() ? tree->iconSize() : QSize(16, 16);
  return tree->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, tree).center();
}

}  // namespace

void RecoveryTest::treeHighlightFollowsTheTickedFolder() {
  ScannedFiles scan({{"/a/one.txt", Pattern(10, 1)}, {"/b/two.txt", Pattern(20, 2)}});
  ShownWindow& w = scan.window;
  QTreeWidget* tree = w.Form().resultTreeWidget;
  QTreeWidgetItem* a = Child(w.TopItem(), "a");
  QTreeWidgetItem* b = Child(w.TopItem(), "b");
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(a).center());
  QCOMPARE(tree->currentItem(), a);
  QVERIFY(Row(w, "one.txt"));
  // A click on b's tick box unticks it and shows its files: the highlight moves with them.
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, TickBoxOf(tree, b));
  QCOMPARE(b->checkState(0), Qt::Unchecked);
  QVERIFY(Row(w, "two.txt") && !Row(w, "one.txt"));
  QCOMPARE(tree->currentItem(), b);
  QVERIFY(b->isSelected() && !a->isSelected());
  Shot(&w, "results-page-tick-highlight");
}

void RecoveryTest::recoverWithNothingTickedMakesNothing() {
  ScannedFiles scan({{"/a/one.txt", Pattern(10, 1)}, {"/two.txt", Pattern(20, 2)}});
  ShownWindow& w = scan.window;
  w.TopItem()->setCheckState(0, Qt::Unchecked);
  QCOMPARE(w.TickedCount(), 0);
  // Any dialog that opens is noted and closed, so that a wrong one cannot hang the test.
  bool dialogSeen = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      dialogSeen = true;
      modal->close();
    }
  });
  watch.start(50);
  Click(w.Form().recoveryBtn);
  QTest::qWait(200);
  watch.stop();
  QVERIFY(!dialogSeen);
  QVERIFY2(w.StatusText().contains("No file is ticked"), qPrintable(w.StatusText()));
  QVERIFY(!w.CopyRunning());
  const QString target = scan.tmp.filePath("out");
  QDir().mkpath(target);
  QVERIFY(!w.StartCopy(target));
  QVERIFY(!QFileInfo::exists(target + "/Velmora"));
  QVERIFY(w.StatusText().contains("No file is ticked"));
  Shot(&w, "results-page-nothing-ticked");
  // One ticked file again: the request goes, and that file is copied.
  Child(w.TopItem(), "a")->setCheckState(0, Qt::Checked);
  QVERIFY2(w.StatusText().startsWith("Scan finished"), qPrintable(w.StatusText()));
  QVERIFY(w.StartCopy(target));
  QTRY_VERIFY(!w.CopyRunning());
  QCOMPARE(FilesUnder(target + "/Velmora"), QStringList({"a/one.txt"}));
  // One file is one file.
  QVERIFY2(w.StatusText().startsWith("1 file copied, 0 failed."), qPrintable(w.StatusText()));
}

void RecoveryTest::tiffPreviewAndPreviewClearedElsewhere() {
  const QByteArray tiff = Encoded(Card(QColor(200, 30, 40)), "TIFF");
  QVERIFY2(!tiff.isEmpty(), "Qt's TIFF plugin is missing (qt5-image-formats-plugins)");
  // Pictures of three shapes: each is shown as large as the box allows, in its own shape.
  QImage tall(30, 150, QImage::Format_RGB32), wide(400, 40, QImage::Format_RGB32);
  tall.fill(QColor(10, 20, 200));
  wide.fill(QColor(240, 200, 10));
  ScannedFiles scan({{"/p/scan.tif", tiff},
                     {"/p/letter.txt", Pattern(300, 1)},
                     {"/p/layers.xcf", QByteArray("gimp xcf v011") + Pattern(4000, 9)},
                     {"/q/photo.png", Encoded(Card(QColor(20, 160, 60)), "PNG")},
                     {"/s/tall.png", Encoded(tall, "PNG")},
                     {"/s/wide.png", Encoded(wide, "PNG")}});
  ShownWindow& w = scan.window;
  auto& ui = w.Form();
  QTableWidget* table = ui.contantTableWidget;
  QLabel* preview = ui.ContactImagelab;
  auto shownColour = [&] {
    const QImage img = preview->pixmap(Qt::ReturnByValue).toImage();
    return img.isNull() ? QString() : QColor(img.pixel(img.width() / 2, img.height() / 2)).name();
  };
  emit ui.resultTreeWidget->itemClicked(Child(w.TopItem(), "p"), 0);
  emit table->itemClicked(Row(w, "scan.tif"));
  QTRY_VERIFY(!w.PreviewRunning());
  QCOMPARE(preview->pixmap(Qt::ReturnByValue).size(), QSize(160, 120));
  QCOMPARE(shownColour(), QColor(200, 30, 40).name());
  Shot(&w, "results-page-tiff-preview");

  // A file that is no picture: its own card, not the last picture.
  table->setCurrentItem(Row(w, "letter.txt"));
  emit table->itemClicked(Row(w, "letter.txt"));
  QCOMPARE(preview->pixmap(Qt::ReturnByValue).toImage(),
           QPixmap(":/SorbeckRecovery/Skin/notsupportpreview.png").toImage());
  // A picture file of a kind that cannot be drawn here is no picture to the preview either.
  table->setCurrentItem(Row(w, "layers.xcf"));
  emit table->itemClicked(Row(w, "layers.xcf"));
  QVERIFY(!w.PreviewRunning());
  QCOMPARE(preview->pixmap(Qt::ReturnByValue).toImage(),
           QPixmap(":/SorbeckRecovery/Skin/notsupportpreview.png").toImage());
  Shot(&w, "results-page-xcf");

  // Another folder: nothing of this one stays on screen.
  table->setCurrentItem(Row(w, "scan.tif"));
  emit table->itemClicked(Row(w, "scan.tif"));
  QTRY_VERIFY(!w.PreviewRunning());
  QCOMPARE(shownColour(), QColor(200, 30, 40).name());
  emit ui.resultTreeWidget->itemClicked(Child(w.TopItem(), "q"), 0);
  QVERIFY(preview->pixmap(Qt::ReturnByValue).isNull());
  QCOMPARE(preview->text(), QStringLiteral("No preview"));
  Shot(&w, "results-page-no-preview");

  // A slow read overtaken by a click on a file that is no picture does not come back later.
  emit table->itemClicked(Row(w, "photo.png"));
  QTRY_VERIFY(!w.PreviewRunning());
  QCOMPARE(shownColour(), QColor(20, 160, 60).name());
  emit ui.resultTreeWidget->itemClicked(Child(w.TopItem(), "p"), 0);
  scan.engine.scanner.op.delayMs = 200;
  emit table->itemClicked(Row(w, "scan.tif"));
  QVERIFY(w.PreviewRunning());
  emit table->itemClicked(Row(w, "letter.txt"));
  QTRY_VERIFY(!w.PreviewRunning());
  QTest::qWait(50);
  QCOMPARE(preview->pixmap(Qt::ReturnByValue).toImage(),
           QPixmap(":/SorbeckRecovery/Skin/notsupportpreview.png").toImage());

  // A tall and a wide picture are not stretched to the box's shape.
  scan.engine.scanner.op.delayMs = 0;
  emit ui.resultTreeWidget->itemClicked(Child(w.TopItem(), "s"), 0);
  const struct {
    const char* name;
    QSize shown;
  } shapes[] = {{"tall.png", QSize(24, 120)}, {"wide.png", QSize(180, 18)}};
  for (const auto& shape : shapes) {
    table->setCurrentItem(Row(w, shape.name));
    emit table->itemClicked(Row(w, shape.name));
    QTRY_VERIFY(!w.PreviewRunning());
    QCOMPARE(preview->pixmap(Qt::ReturnByValue).size(), shape.shown);
    Shot(&w, "results-page-preview-shape");
  }
}

void RecoveryTest::scanWithUnreadableAreasIsAPartialSuccess() {
  // The engine's raw scan over a device whose sectors 10 and 11 cannot be read, with two
  // pictures after them: both are found, and the scan answers that areas were unreadable.
  std::vector<uint8_t> img(512 * 256, 0);
  QByteArray pics[2] = {Encoded(Card(Qt::blue), "BMP"), Encoded(Card(Qt::yellow), "BMP")};
  std::memcpy(&img[512 * 40], pics[0].constData(), size_t(pics[0].size()));
  std::memcpy(&img[512 * 120], pics[1].constData(), size_t(pics[1].size()));
  // The results tree asks for the cluster size alone.
  struct Storage : rawtest::MemStorage {
    using MemStorage::MemStorage;
    int GetClusterInfo(int* clusterBytes, int* sectorSize) override {
      if (clusterBytes) *clusterBytes = 512;
      if (sectorSize) *sectorSize = 512;
      return 0;
    }
  } dev(img, 512);
  dev.failFrom = 512 * 10;
  dev.failTo = 512 * 12;
  FakeEngine engine;
  engine.rawStorage = &dev;
  ShownWindow w(&engine);
  QVERIFY(RunToEnd(w, FirstRow(w, false), w.Form().DeepScanButton, kPatienceMs));
  const QString status = w.StatusText();
  QVERIFY2(status.contains("Scan finished: 2 files found, but some areas of the device could not be read"),
           qPrintable(status));
  QVERIFY(!status.contains("failed"));
  QVERIFY(!status.contains("engine code"));
  QVERIFY(!dev.writes);
  Shot(&w, "results-page-unreadable");
  Click(w.Form().HomeButton);

  // The other answers of a scan that nobody stopped.
  FakeEngine scripted;
  scripted.scanner.Add("/a/one.txt", Pattern(10, 1));
  ShownWindow v(&scripted);
  const struct {
    int rc;
    const char* says;
  } ends[] = {{0, "Scan finished: 1 file found."},
              {RC_STOP, "Scan finished: 1 file found."},
              {RC_READ_FAILED, "some areas of the device could not be read"},
              {RC_WRONG_FS, "Deleted Recovery does not read this volume (engine code 104). Use Volume Recovery first"},
              {RC_ROOT_DAMAGED, "The folders of this volume are damaged: Volume Recovery rebuilds them"}};
  for (const auto& e : ends) {
    scripted.scanner.result = e.rc;
    ScanThroughWindow(v);
    QVERIFY2(v.StatusText().contains(QLatin1String(e.says)), qPrintable(v.StatusText()));
    Click(v.Form().HomeButton);
  }
}

void RecoveryTest::noPreviewWhileTheScanRuns() {
  FakeEngine engine;
  engine.scanner.Add("/p/photo.png", Encoded(Card(QColor(20, 160, 60)), "PNG"));
  engine.scanner.untilStopped = true;
  ShownWindow w(&engine);
  auto& ui = w.Form();
  Start(w, FirstRow(w, true), ui.DeleteScanButton);
  QTRY_VERIFY(w.TopItem() && Child(w.TopItem(), "p"));
  QVERIFY(w.ScanRunning());
  emit ui.resultTreeWidget->itemClicked(Child(w.TopItem(), "p"), 0);
  emit ui.contantTableWidget->itemClicked(Row(w, "photo.png"));
  QVERIFY(!w.PreviewRunning());
  QCOMPARE(engine.scanner.op.reads.load(), 0);
  QVERIFY(w.StatusText().contains("Preview is available when the scan has ended"));

  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
  emit ui.contantTableWidget->itemClicked(Row(w, "photo.png"));
  QTRY_VERIFY(!w.PreviewRunning());
  QVERIFY(engine.scanner.op.reads.load() > 0);
  const QImage shown = ui.ContactImagelab->pixmap(Qt::ReturnByValue).toImage();
  QVERIFY(!shown.isNull());
  QCOMPARE(QColor(shown.pixel(shown.width() / 2, shown.height() / 2)).name(), QColor(20, 160, 60).name());
}

void RecoveryTest::copyTakesTheFilesTickedAtItsStart() {
  ScannedFiles scan({{"/p/a.bin", Pattern(3000, 1)}, {"/p/b.bin", Pattern(4000, 2)}});
  ShownWindow& w = scan.window;
  emit w.Form().resultTreeWidget->itemClicked(Child(w.TopItem(), "p"), 0);
  const QString target = scan.tmp.filePath("out");
  QDir().mkpath(target);
  scan.engine.scanner.op.held = true;
  QVERIFY(w.StartCopy(target));
  // The copy cannot have got past its first file: its reads are held.
  Row(w, "b.bin")->setCheckState(Qt::Unchecked);
  QCOMPARE(int(w.FolderRecordOf(Child(w.TopItem(), "p"))->m_nodes[1]->m_checked), 0);
  scan.engine.scanner.op.held = false;
  QTRY_VERIFY(!w.CopyRunning());
  QCOMPARE(FilesUnder(target + "/Velmora"), QStringList({"p/a.bin", "p/b.bin"}));
  QCOMPARE(ReadAll(target + "/Velmora/p/b.bin"), Pattern(4000, 2));
  QVERIFY(w.StatusText().contains("2 files copied"));
}

// Up and Down move the folder shown with the highlight; Space then unticks the folder whose files
// are in view, and the copy takes what was seen ticked.
void RecoveryTest::tableFollowsTheTreeHighlightFromTheKeys() {
  ScannedFiles scan(
      {{"/a/one.txt", Pattern(10, 1)}, {"/b/two.txt", Pattern(20, 2)}, {"/c/three.txt", Pattern(30, 3)}});
  ShownWindow& w = scan.window;
  QTreeWidget* tree = w.Form().resultTreeWidget;
  QTreeWidgetItem* a = Child(w.TopItem(), "a");
  QTreeWidgetItem* b = Child(w.TopItem(), "b");
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(a).center());
  QVERIFY(Row(w, "one.txt"));
  QTest::keyClick(tree, Qt::Key_Down);
  QCOMPARE(tree->currentItem(), b);
  QVERIFY2(Row(w, "two.txt") && !Row(w, "one.txt"), "the table still shows the folder left by the highlight");
  QTest::keyClick(tree, Qt::Key_Space);
  QCOMPARE(b->checkState(0), Qt::Unchecked);
  QCOMPARE(a->checkState(0), Qt::Checked);
  QCOMPARE(Row(w, "two.txt")->checkState(), Qt::Unchecked);
  QCOMPARE(w.TickedCount(), 2);
  Shot(&w, "results-page-keys");
  // Up again: the table shows a, and the top (no files of its own) shows none.
  QTest::keyClick(tree, Qt::Key_Up);
  QVERIFY(Row(w, "one.txt") && !Row(w, "two.txt"));
  QTest::keyClick(tree, Qt::Key_Up);
  QCOMPARE(tree->currentItem(), w.TopItem());
  QVERIFY(!Row(w, "one.txt"));

  const QString target = scan.tmp.filePath("out");
  QDir().mkpath(target);
  QVERIFY(w.StartCopy(target));
  QTRY_VERIFY(!w.CopyRunning());
  QCOMPARE(FilesUnder(target + "/Velmora"), QStringList({"a/one.txt", "c/three.txt"}));
}

// A folder of many files: the table's scroll bar is drawn whole, inside the window.
void RecoveryTest::manyFilesShowTheWholeScrollBar() {
  QTemporaryDir tmp;
  FakeEngine engine(tmp);
  const QString longName = QStringLiteral("document_with_a_rather_long_descriptive_name_number_%1.txt");
  for (int i = 0; i < 400; ++i) engine.scanner.Add("/many/" + longName.arg(i), Pattern(100 + i, i));
  ShownWindow w(&engine);
  ScanThroughWindow(w);
  emit w.Form().resultTreeWidget->itemClicked(Child(w.TopItem(), "many"), 0);
  QTableWidget* table = w.Form().contantTableWidget;
  QCOMPARE(table->rowCount(), 400);

  // Names and paths too long for their columns: each row can still be told from the others,
  // the whole text is in the tooltip, and a column widened by hand can be scrolled to.
  QSet<QString> shownNames, shownPaths;
  const QFontMetrics fm = table->fontMetrics();
  for (int r = 0; r < table->rowCount(); ++r) {
    QTableWidgetItem* name = table->item(r, 0);
    QTableWidgetItem* path = table->item(r, 2);
    QCOMPARE(name->toolTip(), name->text());
    QCOMPARE(path->toolTip(), path->text());
    // The room the cell leaves its text: the column less the tick box and the margins.
    shownNames << fm.elidedText(name->text(), table->textElideMode(), table->columnWidth(0) - 40);
    shownPaths << fm.elidedText(path->text(), table->textElideMode(), table->columnWidth(2) - 12);
  }
  QVERIFY2(!table->wordWrap() && shownNames.size() == 400 && shownPaths.size() == 400,
           qPrintable(QString("%1 names and %2 paths told apart, e.g. %3")
                          .arg(shownNames.size())
                          .arg(shownPaths.size())
                          .arg(*shownNames.begin())));
  QHeaderView* header = table->horizontalHeader();
  QCOMPARE(header->sectionResizeMode(0), QHeaderView::Interactive);
  Shot(&w, "results-page-long-names");
  const int before = header->sectionSize(0);
  // Dragged by the edge of its header, as a person widens a column.
  const QPoint edge(header->sectionViewportPosition(1) - 1, 10), wider = edge + QPoint(300, 0);
  QTest::mousePress(header->viewport(), Qt::LeftButton, {}, edge);
  QMouseEvent drag(QEvent::MouseMove, wider, header->viewport()->mapToGlobal(wider), Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(header->viewport(), &drag);
  QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, wider);
  QVERIFY2(header->sectionSize(0) > before + 200,
           qPrintable(QString("%1 -> %2").arg(before).arg(header->sectionSize(0))));
  QTRY_VERIFY(table->horizontalScrollBar()->isVisible() && table->horizontalScrollBar()->maximum() > 0);
  Shot(&w, "results-page-long-names-widened");
  header->resizeSection(0, before);
  QScrollBar* bar = table->verticalScrollBar();
  QTRY_VERIFY(bar->isVisible());
  QFrame* frame = w.Form().ContactFrame;
  const int shown = qMin(bar->width(), frame->width() - bar->mapTo(frame, QPoint(0, 0)).x());
  QVERIFY2(ShownWhole(bar),
           qPrintable(QString("%1 px of the %2 px scroll bar show: the table is %3 wide in a "
                              "frame %4 wide")
                          .arg(shown)
                          .arg(bar->width())
                          .arg(table->width())
                          .arg(frame->width())));
  QVERIFY(ShownWhole(table));
  Shot(&w, "results-page-many-files");

  // Home, then a scan that finds nothing: no row or scroll bar of the last folder stays.
  Click(w.Form().HomeButton);
  for (FakeFile* f : engine.scanner.files) delete f;
  engine.scanner.files.clear();
  ScanThroughWindow(w);
  QVERIFY(w.StatusText().startsWith("Scan finished: 0 files found."));
  QCOMPARE(table->rowCount(), 0);
  QVERIFY(!bar->isVisible());
  Shot(&w, "results-page-empty-after-many");
}

// The results' top item names the disk too: every disk's first partition may be "Partition1".
void RecoveryTest::resultsRootNamesTheScannedDisk() {
  FakeEngine engine;
  engine.volume.label = "Partition1";
  engine.found.label = "Partition1";
  engine.offerFound = true;
  engine.scanner.Add("/a/one.txt", Pattern(10, 1));
  ShownWindow w(&engine);
  auto& ui = w.Form();
  const QString longFolder = QStringLiteral("a folder whose name is far wider than the tree beside the table");
  engine.scanner.Add("/" + longFolder + "/two.txt", Pattern(20, 2));
  ScanThroughWindow(w);
  QCOMPARE(w.TopItem()->text(0), QStringLiteral("Partition1 on Fake Disk"));
  // The tree cuts long names at its edge: each is whole in its tooltip.
  QCOMPARE(w.TopItem()->toolTip(0), QStringLiteral("Partition1 on Fake Disk"));
  QTreeWidgetItem* longItem = Child(w.TopItem(), longFolder);
  QVERIFY(longItem);
  QCOMPARE(longItem->toolTip(0), longFolder);
  QCOMPARE(Child(w.TopItem(), "a")->toolTip(0), QStringLiteral("a"));
  Shot(&w, "results-page-root-name");
  Click(ui.HomeButton);
  QVERIFY(RunToEnd(w, FirstRow(w, false), ui.DeepScanButton));
  QCOMPARE(w.TopItem()->text(0), QStringLiteral("Fake Disk"));
  Click(ui.HomeButton);
  // A partition the search found, picked by its size cell: still named, and named as found.
  QVERIFY(RunToEnd(w, FirstRow(w, false), ui.LostVolumesButton));
  emit ui.lostpartitionTableWidget->itemClicked(ui.lostpartitionTableWidget->item(0, 1));
  Click(ui.scanDelDiskBtn);
  QTRY_VERIFY(!w.ScanRunning());
  QCOMPARE(w.TopItem()->text(0), QStringLiteral("Partition1 found on Fake Disk"));
}

// Deleted and Volume Recovery that find no file say what to do next; Deep Recovery only counts.
void RecoveryTest::emptyScanSaysWhatToDoNext() {
  FakeEngine engine;
  ShownWindow w(&engine);
  auto& ui = w.Form();
  // Deleted Recovery found no deleted file: the volume may be intact, or formatted again, which
  // Volume Recovery reads first. Volume Recovery found no entry at all: Deep Recovery is left.
  const struct {
    QPushButton* mode;
    const char* says;
    const char* first;
  } modes[] = {{ui.DeleteScanButton, "No deleted files were found.", "Volume Recovery first"},
               {ui.PartitionScanButton, "No file entries were found on the volume", "Deep Recovery"}};
  for (const auto& m : modes) {
    QVERIFY(RunToEnd(w, FirstRow(w, true), m.mode));
    const QString status = w.StatusText();
    QVERIFY2(status.startsWith("Scan finished: 0 files found.") && status.contains(QLatin1String(m.says)) &&
                 status.contains("Deep Recovery") &&
                 status.indexOf(QLatin1String(m.first)) <= status.indexOf("Deep Recovery") &&
                 status.indexOf(QLatin1String(m.first)) > 0,
             qPrintable(status));
    QVERIFY(!status.contains("No file entries") || m.mode != ui.DeleteScanButton);
    QCOMPARE(StatusLabel(w)->text(), status);
    QVERIFY(TextFits(StatusLabel(w)));
    Shot(&w, "results-page-empty-scan");
    Click(ui.HomeButton);
  }
  QVERIFY(RunToEnd(w, FirstRow(w, false), ui.DeepScanButton));
  QCOMPARE(w.StatusText(), QStringLiteral("Scan finished: 0 files found."));
  Shot(&w, "results-page-empty-deep");
}

// Files the scan lists without data are greyed, with the reason in their tooltip; the preview
// and the copy say the same, the copy makes no file for them and copies the rest. Each file has
// its own reason, as the scan marked it, whichever kind of scan ran: other files hold its
// clusters, or its place on the disk is not known.
void RecoveryTest::filesWithoutDataSayWhyInTheTableThePreviewAndTheCopy() {
  QTemporaryDir tmp;
  FakeEngine engine(tmp);
  engine.scanner.Add("/d/kept.txt", Pattern(300, 1));
  // Their bytes would draw: only the flags keep them from being read.
  engine.scanner.Add("/d/gone.png", Encoded(Card(QColor(20, 160, 60)), "PNG"), FF_NODATA);
  engine.scanner.Add("/d/taken.png", Encoded(Card(QColor(160, 20, 60)), "PNG"), FF_NODATA | FF_OVERWRITTEN);
  const char* const lost = "its place on the disk is not known";
  const char* const taken = "its clusters now belong to other files";
  const struct {
    const char* name;
    const char* reason;
    const char* other;  // the other reason, which must not be said of it
  } files[] = {{"gone.png", lost, taken}, {"taken.png", taken, lost}};
  ShownWindow w(&engine);
  auto& ui = w.Form();
  for (QPushButton* mode : {ui.DeleteScanButton, ui.PartitionScanButton}) {
    QVERIFY(RunToEnd(w, FirstRow(w, true), mode));
    emit ui.resultTreeWidget->itemClicked(Child(w.TopItem(), "d"), 0);
    QTableWidget* table = ui.contantTableWidget;
    QTableWidgetItem* kept = Row(w, "kept.txt");
    QVERIFY(kept);
    QCOMPARE(kept->foreground().style(), Qt::NoBrush);
    QVERIFY(!kept->toolTip().contains("No data"));
    for (const auto& f : files) {
      QTableWidgetItem* row = Row(w, f.name);
      QVERIFY(row);
      for (int c = 0; c < 3; ++c) {
        QTableWidgetItem* cell = table->item(row->row(), c);
        QCOMPARE(cell->foreground().color(), table->palette().color(QPalette::Disabled, QPalette::Text));
        QVERIFY2(cell->toolTip().contains(QString("No data: %1.").arg(f.reason)),
                 qPrintable(cell->toolTip()));
        QVERIFY2(!cell->toolTip().contains(QLatin1String(f.other)), qPrintable(cell->toolTip()));
      }
      // Still listed, and still ticked as every found file is.
      QCOMPARE(row->checkState(), Qt::Checked);
      engine.scanner.op.reads = 0;
      emit table->itemClicked(row);
      QVERIFY(!w.PreviewRunning());
      QCOMPARE(ui.ContactImagelab->text(), QStringLiteral("No preview: this file has no data"));
      QCOMPARE(engine.scanner.op.reads.load(), 0);
    }
    Shot(&w, "results-page-no-data");

    const QString target = tmp.filePath(QString("out%1").arg(mode->objectName()));
    QVERIFY(QDir().mkpath(target));
    QVERIFY(w.StartCopy(target));
    QTRY_VERIFY(!w.CopyRunning());
    QCOMPARE(FilesUnder(target + "/Velmora"), QStringList({"d/kept.txt"}));
    QCOMPARE(ReadAll(target + "/Velmora/d/kept.txt"), Pattern(300, 1));
    // The line names the first failure and its reason; the details list each with its own.
    QVERIFY2(
        w.StatusText().startsWith(QString("1 file copied, 2 failed: %1 (/d/gone.png) and 1 more.").arg(lost)),
        qPrintable(w.StatusText()));
    QPushButton* details = w.findChild<QPushButton*>("statusDetailsBtn");
    QVERIFY(details && details->isVisible());
    Click(details);
    QDialog* list = w.findChild<QDialog*>("statusDetailsDialog");
    QVERIFY(list && list->isVisible());
    const QString lines = list->findChild<QPlainTextEdit*>("statusDetailsText")->toPlainText();
    for (const auto& f : files)
      QVERIFY2(lines.contains(QString("/d/%1: %2").arg(f.name, f.reason)), qPrintable(lines));
    Shot(&w, "results-page-no-data-copied");
    list->close();
    Click(ui.HomeButton);
  }
}

QTEST_MAIN(RecoveryTest)
#include "recovery_test.moc"
