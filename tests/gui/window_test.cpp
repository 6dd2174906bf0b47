// Drives the real main window on the offscreen platform, over a scripted engine for the paths a
// real disk cannot provoke, and over the real engine for the device tree of a disk image.
#include <unistd.h>

#include <QDir>
#include <QGraphicsOpacityEffect>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTranslator>
#include <QtTest>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/inotifysink.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "frontend/formatsize.h"
#include "frontend/globals.h"
#include "frontend/sorbeckrecovery.h"
#include "screenshot.h"
#include "windowdriver.h"

namespace {

using namespace windowtest;

class FakeDevice final : public IDevice {
 public:
  static FakeDevice* Disk(int type, const char* model, int64_t size) {
    FakeDevice* d = new FakeDevice;
    d->m_type = type;
    for (int i = 0; model[i] && i < 200; ++i) d->m_geometry.Model[i] = char16_t(model[i]);
    d->m_geometry.DiskSize = size;
    d->m_size = uint64_t(size);
    return d;
  }
  static FakeDevice* Part(int type, const char* label, int64_t sectors, uint32_t ptype, bool efi = false) {
    FakeDevice* d = new FakeDevice;
    d->m_type = type;
    for (int i = 0; label[i] && i < 200; ++i) d->m_info.Label[i] = char16_t(label[i]);
    d->m_info.SectorCount = sectors;
    d->m_info.PartitionType = ptype;
    d->m_info.IsEfiSystemPartition = efi ? 1 : 0;
    // Unallocated stretches between partitions carry number -1, as the engine's do.
    if (ptype == PT_UNALLOCATED) d->m_info.PartitionNumber = -1;
    d->m_size = uint64_t(sectors) * 512;
    return d;
  }
  void SetFlags(uint8_t flags) { m_info.Flags = flags; }
  int GetType() override { return m_type; }
  const char* GetName() override { return "fake"; }
  int GetSize(uint64_t* size) override {
    *size = m_size;
    return 0;
  }
  int GetPartitionInfo(PartitionInfo* info) override {
    *info = m_info;
    return 0;
  }
  int GetGeometry(DiskGeometry* g) override {
    *g = m_geometry;
    return 0;
  }
  int Read(void*, uint32_t) override { return RC_READ_FAILED; }
  int Write(const void*, uint32_t) override { return RC_WRITE_PROTECTED; }
  // Counted, not freed: the engine object stays the test's.
  void Release() override { ++releases; }
  int releases = 0;
  int64_t Seek(int64_t, int) override { return -1; }
  int ReadSectors(int64_t, void*, uint32_t) override { return RC_READ_FAILED; }
  int WriteSectors(int64_t, const void*, uint32_t) override { return RC_WRITE_PROTECTED; }
  int Close() override { return 0; }
  IDeviceIo* GetIo() override { return nullptr; }
  int Save(IArchive*) override { return 0; }
  int Load(IArchive*) override { return 0; }
  int Open() override { return 0; }

 private:
  FakeDevice() {
    std::memset(&m_info, 0, sizeof(m_info));
    std::memset(&m_geometry, 0, sizeof(m_geometry));
  }
  int m_type = 0;
  uint64_t m_size = 0;
  PartitionInfo m_info;
  DiskGeometry m_geometry;
};

// Runs until its sink asks it to stop, as a long scan of a big disk would.
class EndlessScanner final : public ScriptedScanner {
 public:
  std::atomic<bool> stopped{false};
  std::atomic<int> scans{0};
  // A scan that ends at once with this answer, when not 0.
  std::atomic<int> immediate{0};
  int Scan(INotifySink* sink) override {
    ++scans;
    if (immediate.load()) return immediate.load();
    for (int i = 0; i < 100000; ++i) {
      if (sink->Notify(NE_PERCENT, i % 100, 0, nullptr) != 0) {
        stopped = true;
        return RC_CANCELLED;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
  }
  std::atomic<int> releases{0};
  void Release() override { ++releases; }
};

class FakeEngine final : public IRecoveryManagement {
 public:
  std::vector<FakeDevice*> devices;
  std::vector<FakeDevice*> found;
  EndlessScanner scanner;
  int createResult = 0;
  // Answers success without a scanner, as a faulty engine might.
  bool nullScanner = false;
  int lastKind = -1;
  IDevice* lastDevice = nullptr;
  int searches = 0;
  int searchResult = 0;
  bool searchUntilStopped = false;
  std::atomic<bool> searchStopped{false};

  FakeEngine() = default;
  FakeEngine(const char* model, const char* label) { AddDisk(model, label); }
  ~FakeEngine() {
    for (auto* d : devices) delete d;
    for (auto* d : found) delete d;
  }
  // One disk of a given model with three listed partitions and the ones the tree leaves out.
  void AddDisk(const char* model, const char* label) {
    devices.push_back(FakeDevice::Disk(DT_FIXED_DISK, model, 64ll << 20));
    devices.push_back(FakeDevice::Part(DT_PARTITION, "EFI", 2048, PT_UNKNOWN_FS, true));
    devices.push_back(FakeDevice::Part(DT_PARTITION, label, 4096, PT_NTFS));
    devices.push_back(FakeDevice::Part(DT_PARTITION, "", 4096, PT_FAT32));
    devices.push_back(FakeDevice::Part(DT_PARTITION, "gap", 100, PT_UNALLOCATED));
    devices.push_back(FakeDevice::Part(DT_PARTITION, "empty", 0, PT_FAT16));
    devices.push_back(FakeDevice::Part(DT_PARTITION, "last", 8192, PT_EXFAT));
  }
  int EnumDevices(IDevice** out, int* count, int capacity) override {
    int n = 0;
    for (; n < int(devices.size()) && n < capacity - 1; ++n) out[n] = devices[n];
    out[n] = nullptr;
    *count = n;
    return 0;
  }
  int LoadScanResult(const char16_t*, IScanOperator**, int) override { return RC_FAIL; }
  int CreateScanOperator(IDevice* device, int kind, IFileManager** manager, IScanOperator** out) override {
    lastKind = kind;
    lastDevice = device;
    if (createResult != 0) return createResult;
    *manager = nullptr;
    *out = nullScanner ? nullptr : &scanner;
    return 0;
  }
  void Release() override {}
  int SearchPartitions(IDevice*, int, INotifySink* sink) override {
    ++searches;
    if (searchResult) return searchResult;
    for (auto* d : found)
      if (sink->Notify(NE_PARTITION_FOUND, 0, 0, d) != 0) return RC_CANCELLED;
    while (searchUntilStopped) {
      if (sink->Notify(NE_PERCENT, 50, 0, nullptr) != 0) {
        searchStopped = true;
        return RC_CANCELLED;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
  }
};

// Every object name of the form, in the order the form creates them.
const char* const kFormNames[] = {
    "centralWidget", "Welcomeframe", "DeepScanButton", "DeleteScanButton", "PartitionScanButton",
    "scanTheDiskBtn", "LostVolumesButton", "Tiplab", "Resultframe", "HomeButton", "recoveryBtn", "ScanFrame",
    "progressBar", "currentfilelocation", "allfilecountlab", "OtherFileNamelab_5", "allfileSizelab",
    "scanStopBtn", "resultTreeWidget", "ContactFrame", "contantTableWidget", "checkBox_Image", "allfilebotlab",
    "allfilecountbotlab", "allfileSizebotlab", "ContactImagelab", "NoteFrame", "noteTableWidget",
    "noteContentlab", "checkBox_Audio", "AudioFileNamelab", "AudioFileSizelab", "AudioFileSourcelab",
    "callFrame", "callTableWidget", "MMSFrame", "MMSTableWidget", "MessageFrame", "messageTableWidget",
    "MessagaeContent", "checkBox_Video", "VideoFileNamelab", "VideoFileSizelab", "VideoFileSourcelab",
    "CaldFrame", "caldTableWidget", "checkBox_Document", "DocumentFileNamelab", "DocumentFileSourcelab",
    "DocumentFileSizelab", "ContentStoreFrame", "ContentTableWidget", "ContentImage", "checkBox_Other",
    "OtherFileSourcelab", "OtherFileNamelab", "OtherFileSizelab", "disklistFrame", "diskHomeButton",
    "DeeplistFrame", "diskTreeWidget", "label_4", "diskwelcomelab_2", "lostpartitionDiskFrame",
    "driveselectpartlab", "DisklistFrame", "driveTableWidget", "label_5", "diskwelcomelab_3", "scanDelDiskBtn",
    "deeprecoveryButton", "lostpartitionTableWidget", "partrecoveryButton", "partprogressBar",
    "scanningstatelab", "allDiskTreeWidget", "menuBar", "mainToolBar", "statusBar"};

// Replaces every caption of the form's context, to show they all pass through translation.
class MarkingTranslator : public QTranslator {
 public:
  bool isEmpty() const override { return false; }
  QString translate(const char* context, const char* text, const char*, int) const override {
    if (QByteArray(context) == "SorbeckRecoveryClass" && *text) return QStringLiteral("<<") + text + ">>";
    return QString();
  }
};

using testutil::Shot;

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void formNamesAreUniqueAndCaptionsTranslated();
  void modeButtonsChangeOnlyModeAndText();
  void deviceTreeLeavesOutEfiGapsAndEmptyPartitions();
  void rowsWithEqualNamesSelectTheirOwnDevice();
  void startWithoutSelectionIsRefused();
  void failedScannerCreationKeepsWindowUsable();
  void closingMidScanStopsTheWorker();
  void stopButtonEndsScanAndReenablesHome();
  void lostPartitionSearchListsFoundPartitions();
  void secondScanRefusedAndHomeStopsSearch();
  void emptySearchSaysSoAndCaptionsAreWhole();
  void engineObjectsAreReleasedAndAMissingScannerRefused();
  void sizeTexts();
  void realEngineDeviceTreeOverDiskImage();
  void homeKeepsTheChosenModeVisible();
  void wholeDiskForPartitionModesSaysChooseAPartition();
  void lostPartitionPageFitsAndNamesHfsPlus();
  void homeLooksDisabledDuringAScan();
  void foundPartitionStartNeedsAFoundRowInEitherDeviceOrder();
  void modesRefusedOnTheWrongKindOfDeviceSaySoAtOnce();
  void engineCodesInWords();
  void chosenCardStaysMarkedAndRedTextGoesWhenMended();
  void searchCanBeStoppedAndAnEmptyOneOffersNothing();
  void cutPartitionsSayTheyAreCutAndSizesSortByBytes();
  void lostPartitionSearchNeedsNoScanner();
  void searchEndsWithTheVolumeOptionChecked();
  void deletedRecoveryOnAnUnreadableVolumePointsToVolumeRecovery();
  void cardsStayInPlaceAndMarkedOnEveryDevice();
  void lostPartitionsSaysItFindsVolumesOf200MbAndMore();
  void searchThatFoundPartitionsSaysHowMany();
  void unreadableDiskPathIsSaidOnStderr();
  void keysMoveTheChoiceWithTheHighlight();
  void filesInAndTheSizeReadApartOnBothPages();
};

namespace {

// Whether `w` is drawn whole inside the part of the window its pages get.
bool InsideWindow(SorbeckRecovery& win, QWidget* w) {
  QWidget* central = win.centralWidget();
  const QRect r(w->mapTo(central, QPoint(0, 0)), w->size());
  return central->rect().contains(r) && QRect(QPoint(0, 0), win.size()).contains(QRect(w->mapTo(&win, QPoint(0, 0)), w->size()));
}

}  // namespace

void WindowTest::formNamesAreUniqueAndCaptionsTranslated() {
  MarkingTranslator translator;
  QCoreApplication::installTranslator(&translator);
  FakeEngine engine;
  {
    SorbeckRecovery w(&engine);
    for (const char* name : kFormNames) {
      const QList<QObject*> found = w.findChildren<QObject*>(QLatin1String(name));
      QVERIFY2(found.size() == 1, name);
    }
    QCOMPARE(w.objectName(), QStringLiteral("SorbeckRecoveryClass"));
    QCOMPARE(w.Form().label_4->text(), QStringLiteral("<<Please select the File Location:>>"));
    QCOMPARE(w.Form().partrecoveryButton->text(), QStringLiteral("<<Scan with Partition Volume Recovery>>"));
    QCOMPARE(w.Form().lostpartitionTableWidget->horizontalHeaderItem(2)->text(),
             QStringLiteral("<<Partition Type>>"));
  }
  QCoreApplication::removeTranslator(&translator);

  SorbeckRecovery w(&engine);
  QCOMPARE(w.windowTitle(), QStringLiteral("Velmora"));
  QCOMPARE(w.size(), QSize(1112, 648));
  QCOMPARE(w.Form().scanTheDiskBtn->geometry(), QRect(930, 588, 132, 31));
  QCOMPARE(w.Form().lostpartitionTableWidget->geometry(), QRect(30, 133, 1052, 261));
  QCOMPARE(w.Form().Resultframe->geometry(), w.Form().Welcomeframe->geometry());
  QVERIFY(w.Form().DeepScanButton->styleSheet().contains(":/SorbeckRecovery/Skin/deeprecoverydown.png"));
  QVERIFY(!QPixmap(QStringLiteral(":/SorbeckRecovery/Skin/startscanbtn.png")).isNull());
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_Deep));
}

void WindowTest::modeButtonsChangeOnlyModeAndText() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  auto& ui = w.Form();
  struct Case {
    QPushButton* button;
    int mode;
    const char* words;
  } cases[] = {
      {ui.DeleteScanButton, SorbeckRecovery::Mode_Deleted, "even emptied from Trash Bin"},
      {ui.DeepScanButton, SorbeckRecovery::Mode_Deep, "Use Deep Recovery option"},
      {ui.PartitionScanButton, SorbeckRecovery::Mode_Volume, "normal and formatted volumes"},
      {ui.LostVolumesButton, SorbeckRecovery::Mode_LostPartitions, "resized or corrupted volumes"},
  };
  for (const Case& c : cases) {
    Click(c.button);
    QCOMPARE(w.Mode(), c.mode);
    QVERIFY(ui.Tiplab->text().startsWith("<font color = \"#D99411\">"));
    QVERIFY2(ui.Tiplab->text().contains(QLatin1String(c.words)), c.words);
    QVERIFY(ui.Welcomeframe->isVisible());
    QVERIFY(ui.allDiskTreeWidget->isVisible());
    QVERIFY(!ui.Resultframe->isVisible());
    QVERIFY(!ui.disklistFrame->isVisible());
    QVERIFY(!w.ScanRunning());
    QCOMPARE(w.SelectedIndex(), -1);
  }
  Shot(&w, "start-page");
}

void WindowTest::deviceTreeLeavesOutEfiGapsAndEmptyPartitions() {
  FakeEngine engine("Disk A", "DATA");
  engine.devices.push_back(FakeDevice::Part(DT_LETTER_VOLUME, "E", 4096, PT_NTFS));
  SorbeckRecovery w(&engine);
  QTreeWidget* tree = w.Form().allDiskTreeWidget;
  QCOMPARE(tree->columnCount(), 3);
  QCOMPARE(tree->headerItem()->text(2), QStringLiteral("File System"));
  QCOMPARE(tree->topLevelItemCount(), 1);
  QTreeWidgetItem* disk = tree->topLevelItem(0);
  QCOMPARE(disk->text(0), QStringLiteral("Disk A"));
  QCOMPARE(disk->text(1), QStringLiteral("64.00 MB"));
  QCOMPARE(disk->childCount(), 3);
  QCOMPARE(disk->child(0)->text(0), QStringLiteral("DATA"));
  QCOMPARE(disk->child(0)->text(2), QStringLiteral("NTFS "));
  QCOMPARE(disk->child(1)->text(0), QStringLiteral("Untitled3"));
  QCOMPARE(disk->child(1)->text(1), QStringLiteral("2.00 MB"));
  QCOMPARE(disk->child(2)->text(2), QStringLiteral("EXFAT"));
  QVERIFY(disk->isExpanded());
}

void WindowTest::rowsWithEqualNamesSelectTheirOwnDevice() {
  FakeEngine engine;
  engine.AddDisk("Same Model", "DATA");
  engine.AddDisk("Same Model", "DATA");
  ShownWindow w(&engine);
  QTreeWidget* tree = w.Form().allDiskTreeWidget;
  const int perDisk = 7;

  QTreeWidgetItem* second = DeviceRow(w, "Same Model", "DATA", 1);
  QVERIFY(second);
  emit tree->itemClicked(second, 0);
  QCOMPARE(w.SelectedIndex(), perDisk + 2);
  QCOMPARE(w.SelectedDriveName(), QStringLiteral("DATA"));
  // Every card stays offered on any row; a mode that cannot run there says so instead.
  QVERIFY(w.Form().PartitionScanButton->isVisible() && w.Form().LostVolumesButton->isVisible());

  QTreeWidgetItem* secondDisk = DeviceRow(w, "Same Model", "", 1);
  emit tree->itemClicked(secondDisk, 0);
  QCOMPARE(w.SelectedIndex(), perDisk);
  QVERIFY(w.Form().PartitionScanButton->isVisible() && w.Form().LostVolumesButton->isVisible());

  Pick(w, DeviceRow(w, "Same Model", "DATA"));
  QCOMPARE(w.SelectedIndex(), 2);
}

void WindowTest::startWithoutSelectionIsRefused() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  for (QPushButton* mode : {w.Form().DeleteScanButton, w.Form().LostVolumesButton, w.Form().DeepScanButton}) {
    Click(mode);
    Click(w.Form().scanTheDiskBtn);
    QVERIFY(!w.ScanRunning());
    QCOMPARE(engine.lastKind, -1);
    QVERIFY(w.Form().Welcomeframe->isVisible());
    QVERIFY(!w.Form().Resultframe->isVisible());
    QVERIFY(w.Form().Tiplab->text().contains("select a device"));
  }
}

void WindowTest::failedScannerCreationKeepsWindowUsable() {
  FakeEngine engine("Disk A", "DATA");
  engine.createResult = RC_FAIL;
  ShownWindow w(&engine);
  Pick(w, DeviceRow(w, "Disk A", "DATA"));
  Click(w.Form().DeleteScanButton);
  Click(w.Form().scanTheDiskBtn);
  QCOMPARE(engine.lastKind, int(Scan_Deleted));
  QVERIFY(!w.ScanRunning());
  QVERIFY(w.Form().HomeButton->isEnabled());
  QVERIFY(w.Form().recoveryBtn->isEnabled());
  QVERIFY(w.Form().Welcomeframe->isVisible());
  QVERIFY(w.Form().Tiplab->text().contains("engine code -1"));
  Shot(&w, "start-page-refused");

  // The engine recovers: the same window starts the scan.
  engine.createResult = 0;
  Click(w.Form().PartitionScanButton);
  Click(w.Form().scanTheDiskBtn);
  QCOMPARE(engine.lastKind, int(Scan_Format));
  QVERIFY(w.ScanRunning());
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_Deleted));
  QVERIFY(w.Form().Resultframe->isVisible());
  QVERIFY(!w.Form().HomeButton->isEnabled());
  Shot(&w, "results-page-scanning");
  w.close();
  QVERIFY(!w.ScanRunning());
}

void WindowTest::closingMidScanStopsTheWorker() {
  FakeEngine engine("Disk A", "DATA");
  auto* w = new SorbeckRecovery(&engine);
  w->show();
  Pick(*w, DeviceRow(*w, "Disk A"));
  Click(w->Form().DeepScanButton);
  Click(w->Form().scanTheDiskBtn);
  QVERIFY(w->ScanRunning());
  QTRY_VERIFY(engine.scanner.scans.load() == 1);
  QTRY_VERIFY(w->Form().progressBar->value() > 0);
  QVERIFY(w->close());
  QVERIFY(engine.scanner.stopped.load());
  QVERIFY(!w->ScanRunning());
  delete w;
}

void WindowTest::stopButtonEndsScanAndReenablesHome() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  Pick(w, DeviceRow(w, "Disk A", "DATA"));
  Click(w.Form().DeleteScanButton);
  Click(w.Form().scanTheDiskBtn);
  QVERIFY(w.ScanRunning());
  QVERIFY(!w.Form().HomeButton->isEnabled());
  // A start while the scan runs is refused and leaves the running scan alone.
  w.ClickScanDeleteDiskAction();
  QCOMPARE(engine.scanner.scans.load() <= 1, true);
  Click(w.Form().scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
  QVERIFY(engine.scanner.stopped.load());
  QVERIFY(w.Form().HomeButton->isEnabled());
  QVERIFY(!w.Form().ScanFrame->isVisible());
  QVERIFY(w.Form().allfilecountbotlab->isVisible());
  Shot(&w, "results-page-ended");
  Click(w.Form().HomeButton);
  QVERIFY(w.Form().Welcomeframe->isVisible());
  QVERIFY(!w.Form().Resultframe->isVisible());
  // The mode chosen stays chosen, and says so.
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_Deleted));
  QVERIFY(w.Form().Tiplab->text().contains("even emptied from Trash Bin"));
}

void WindowTest::lostPartitionSearchListsFoundPartitions() {
  FakeEngine engine("Disk A", "DATA");
  const char* labels[] = {"one", "", "three", "four", "five", "six", "seven"};
  for (const char* l : labels) engine.found.push_back(FakeDevice::Part(DT_PARTITION, l, 2048, PT_FAT32));
  ShownWindow w(&engine);
  auto& ui = w.Form();
  Start(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton);
  QVERIFY(ui.disklistFrame->isVisible());
  QVERIFY(!ui.Resultframe->isVisible());
  QTRY_VERIFY(!w.ScanRunning());
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_FoundVolume));
  QTableWidget* table = ui.lostpartitionTableWidget;
  QCOMPARE(table->rowCount(), 7);
  QCOMPARE(table->item(1, 0)->text(), QStringLiteral("Untitled"));
  QCOMPARE(table->item(0, 2)->text(), QStringLiteral("FAT32 (MS-DOS)"));
  QVERIFY(ui.scanningstatelab->text().startsWith("7 lost partitions were found."));
  QCOMPARE(g_FoundPartitions.size(), size_t(7));
  Shot(&w, "lost-partition-page");

  // Sorted by name, a row still selects its own partition.
  table->sortItems(0, Qt::AscendingOrder);
  QTableWidgetItem* seven = table->findItems(QStringLiteral("seven"), Qt::MatchExactly).value(0);
  QVERIFY(seven);
  emit table->itemClicked(seven);
  QCOMPARE(w.SelectedIndex(), 6);
  QCOMPARE(w.SelectedDriveName(), QStringLiteral("seven"));
  emit table->itemClicked(table->item(seven->row(), 1));
  QCOMPARE(w.SelectedIndex(), 6);
  QCOMPARE(w.SelectedDriveName(), QStringLiteral("1.00 MB"));

  Click(ui.deeprecoveryButton);
  QVERIFY(ui.deeprecoveryButton->isChecked() && !ui.partrecoveryButton->isChecked());
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_FoundDeep));
  Click(ui.partrecoveryButton);
  QVERIFY(!ui.deeprecoveryButton->isChecked() && ui.partrecoveryButton->isChecked());
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_FoundVolume));

  // A volume scan of the found partition runs as kind 0x100 and shows its results by path.
  Click(ui.scanDelDiskBtn);
  QCOMPARE(engine.lastKind, int(Scan_Format));
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_Deleted));
  QVERIFY(ui.Resultframe->isVisible());
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());

  // Home forgets the found partitions: the start page cannot scan a stale one, nor take the
  // found row for a device index.
  Click(ui.HomeButton);
  QVERIFY(g_FoundPartitions.empty());
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_LostPartitions));
  QCOMPARE(w.SelectedIndex(), -1);
  QVERIFY(ui.Tiplab->text().contains("resized or corrupted volumes"));
}

// Texts a user must read in full: nothing cut mid-word, and a search that finds nothing says so.
void WindowTest::emptySearchSaysSoAndCaptionsAreWhole() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  auto& ui = w.Form();
  for (QRadioButton* r : {ui.partrecoveryButton, ui.deeprecoveryButton})
    QVERIFY2(r->width() >= r->sizeHint().width(), qPrintable(r->text()));
  Pick(w, DeviceRow(w, "Disk A"));
  for (QPushButton* mode : {ui.DeepScanButton, ui.DeleteScanButton, ui.LostVolumesButton}) {
    Click(mode);
    QLabel* tip = ui.Tiplab;
    const bool fits = tip->wordWrap() ? tip->heightForWidth(tip->width()) <= tip->height()
                                      : tip->sizeHint().width() <= tip->width();
    QVERIFY2(fits, qPrintable(tip->text() + QString(" needs %1 of %2").arg(tip->heightForWidth(tip->width())).arg(tip->height())));
  }
  Click(ui.scanTheDiskBtn);
  QTRY_VERIFY(!w.ScanRunning());
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_FoundVolume));
  QVERIFY(ui.scanningstatelab->isVisible());
  QVERIFY2(ui.scanningstatelab->text().contains("No lost partitions"), qPrintable(ui.scanningstatelab->text()));
  QVERIFY(ui.scanningstatelab->width() >= ui.scanningstatelab->sizeHint().width());
}

void WindowTest::secondScanRefusedAndHomeStopsSearch() {
  FakeEngine engine("Disk A", "DATA");
  engine.found.push_back(FakeDevice::Part(DT_PARTITION, "found", 2048, PT_NTFS));
  engine.searchUntilStopped = true;
  ShownWindow w(&engine);
  auto& ui = w.Form();
  Start(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton);
  QVERIFY(w.ScanRunning());
  QTRY_COMPARE(ui.partprogressBar->value(), 50);
  engine.lastKind = -1;
  // Start Scan is dimmed while the search runs; asked all the same, it refuses and says why.
  QVERIFY(!ui.scanDelDiskBtn->isEnabled());
  Click(ui.scanDelDiskBtn);
  QCOMPARE(engine.lastKind, -1);
  w.ClickScanDeleteDiskAction();
  QCOMPARE(engine.lastKind, -1);
  QVERIFY(ui.scanningstatelab->text().contains("still running"));

  Click(ui.diskHomeButton);
  QVERIFY(ui.Welcomeframe->isVisible());
  QVERIFY(!ui.disklistFrame->isVisible());
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_LostPartitions));
  QTRY_VERIFY(!w.ScanRunning());
  QVERIFY(engine.searchStopped.load());
  QVERIFY(g_FoundPartitions.empty());
  QVERIFY(ui.Welcomeframe->isVisible());
}

void WindowTest::sizeTexts() {
  QCOMPARE(FormatFileSizeText(0), QStringLiteral("0 bytes"));
  QCOMPARE(FormatFileSizeText(1023), QStringLiteral("1023 bytes"));
  QCOMPARE(FormatFileSizeText(1024), QStringLiteral("1.00 KB"));
  QCOMPARE(FormatFileSizeText(0x100000), QStringLiteral("1.00 MB"));
  QCOMPARE(FormatFileSizeText(3ull << 29), QStringLiteral("1.50 GB"));
  QCOMPARE(FormatFileSizeText(1ull << 40), QStringLiteral("1.00 TB"));
  QCOMPARE(FileSystemTypeName(219), QStringLiteral("UnAllocate"));
  QCOMPARE(FileSystemTypeName(0x42), QString());
}

void WindowTest::realEngineDeviceTreeOverDiskImage() {
  const QString sgdisk = QStandardPaths::findExecutable("sgdisk", {"/usr/sbin", "/sbin", "/usr/bin"});
  if (sgdisk.isEmpty()) QSKIP("sgdisk is not installed");
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString image = dir.filePath("four.img");
  {
    QFile f(image);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.resize(64ll << 20));
  }
  QProcess p;
  p.start(sgdisk, {"-n1:2048:+8M", "-t1:ef00", "-c1:EFI", "-n2:0:+16M", "-t2:0700", "-n3:0:+16M", "-t3:0700",
                   "-n4:0:0", "-t4:0700", image});
  QVERIFY(p.waitForFinished(30000));
  QCOMPARE(p.exitCode(), 0);
  qputenv("KESTRUM_DISKS", image.toLocal8Bit());
  SorbeckRecovery w;
  qunsetenv("KESTRUM_DISKS");
  if (!g_Devices[0]) QSKIP("the engine lists no disk here");
  QTreeWidget* tree = w.Form().allDiskTreeWidget;
  QCOMPARE(tree->topLevelItemCount(), 1);
  QTreeWidgetItem* disk = tree->topLevelItem(0);
  QCOMPARE(disk->childCount(), 3);
  for (int i = 0; i < 3; ++i) QVERIFY(disk->child(i)->text(0) != QStringLiteral("EFI"));
  // The EFI partition is the 8 MiB one; the listed ones are the two of 16 MiB and the rest.
  QCOMPARE(disk->child(0)->text(1), QStringLiteral("16.00 MB"));
  QCOMPARE(disk->child(1)->text(1), QStringLiteral("16.00 MB"));
  QVERIFY(disk->child(2)->text(1).endsWith(QStringLiteral(" MB")));
  emit tree->itemClicked(disk->child(1), 0);
  QVERIFY(w.SelectedIndex() > 0);
  QCOMPARE(g_Devices[w.SelectedIndex()]->GetType() == DT_PARTITION ||
               g_Devices[w.SelectedIndex()]->GetType() == DT_PARTITION_OTHER,
           true);
  Shot(&w, "start-page-real-disk");
}


void WindowTest::engineObjectsAreReleasedAndAMissingScannerRefused() {
  FakeEngine engine("Disk A", "DATA");
  for (const char* l : {"one", "two"}) engine.found.push_back(FakeDevice::Part(DT_PARTITION, l, 2048, PT_FAT32));
  ShownWindow w(&engine);
  auto& ui = w.Form();

  // An engine that claims success but hands out no scanner: refused, in every mode, not a crash
  // (deep) and not a page stuck on "Scanning..." (the others).
  engine.nullScanner = true;
  Pick(w, DeviceRow(w, "Disk A", "DATA"));
  for (QAbstractButton* mode : {static_cast<QAbstractButton*>(ui.DeepScanButton),
                                static_cast<QAbstractButton*>(ui.DeleteScanButton)}) {
    Click(mode);
    Click(ui.scanTheDiskBtn);
    QVERIFY(!w.ScanRunning());
    QVERIFY(ui.Welcomeframe->isVisible());
    QVERIFY(ui.HomeButton->isEnabled());
    QVERIFY(ui.Tiplab->text().contains("engine code"));
  }
  engine.nullScanner = false;

  // A scan's scanner is released once its results are left through Home, and only then.
  Click(ui.DeleteScanButton);
  Click(ui.scanTheDiskBtn);
  QVERIFY(w.ScanRunning());
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
  QCOMPARE(engine.scanner.releases.load(), 0);
  Click(ui.HomeButton);
  QCOMPARE(engine.scanner.releases.load(), 1);
  QVERIFY(!w.Scanner());

  // The search does not use the scanner made for it; the partitions it found are the window's
  // and are released when the list is left, each once.
  Start(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton);
  QCOMPARE(engine.scanner.releases.load(), 2);
  QTRY_VERIFY(!w.ScanRunning());
  QCOMPARE(g_FoundPartitions.size(), size_t(2));
  QCOMPARE(engine.found[0]->releases, 0);
  Click(ui.diskHomeButton);
  QCOMPARE(engine.found[0]->releases, 1);
  QCOMPARE(engine.found[1]->releases, 1);
  QVERIFY(g_FoundPartitions.empty());
  for (FakeDevice* d : engine.devices) QCOMPARE(d->releases, 0);
}

void WindowTest::homeKeepsTheChosenModeVisible() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  auto& ui = w.Form();
  Pick(w, DeviceRow(w, "Disk A", "DATA"));
  // A volume scan runs in the deleted-file mode; Home comes back to the mode the person chose.
  Click(ui.PartitionScanButton);
  Click(ui.scanTheDiskBtn);
  QVERIFY(w.ScanRunning());
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
  Click(ui.HomeButton);
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_Volume));
  QVERIFY(ui.Tiplab->text().contains("normal and formatted volumes"));
  Shot(&w, "start-page-after-home");
  engine.lastKind = -1;
  Click(ui.scanTheDiskBtn);
  QCOMPARE(engine.lastKind, int(Scan_Format));
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());

  // The disk page's Home, too, leaves the mode shown.
  Click(ui.HomeButton);
  QVERIFY(RunToEnd(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton));
  Click(ui.diskHomeButton);
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_LostPartitions));
  QVERIFY(ui.Tiplab->text().contains("resized or corrupted volumes"));
}

void WindowTest::wholeDiskForPartitionModesSaysChooseAPartition() {
  FakeEngine engine("Disk A", "DATA");
  engine.createResult = RC_FAIL;
  ShownWindow w(&engine);
  auto& ui = w.Form();
  Pick(w, DeviceRow(w, "Disk A"));
  for (QPushButton* mode : {ui.DeleteScanButton, ui.PartitionScanButton}) {
    Click(mode);
    Click(ui.scanTheDiskBtn);
    QVERIFY(!w.ScanRunning());
    const QString tip = ui.Tiplab->text();
    QVERIFY2(tip.contains("a whole disk is selected") && tip.contains("choose one of the disk's partitions"),
             qPrintable(tip));
    QVERIFY(!tip.contains("engine code"));
    QLabel* t = ui.Tiplab;
    QVERIFY2(t->heightForWidth(t->width()) <= t->height(), qPrintable(tip));
  }
  Shot(&w, "start-page-whole-disk");
  // On a partition the failure names what is missing there.
  Start(w, DeviceRow(w, "Disk A", "DATA"), ui.DeleteScanButton);
  QVERIFY(ui.Tiplab->text().contains("Deleted Recovery does not read this volume"));
}

void WindowTest::lostPartitionPageFitsAndNamesHfsPlus() {
  FakeEngine engine("Disk A", "DATA");
  engine.found.push_back(FakeDevice::Part(DT_PARTITION, "Macintosh HD", 409600, PT_HFSP));
  ShownWindow w(&engine);
  auto& ui = w.Form();
  // Every page's buttons and lists lie inside the window at its fixed size.
  for (QWidget* x : {static_cast<QWidget*>(ui.scanTheDiskBtn), static_cast<QWidget*>(ui.DeepScanButton),
                     static_cast<QWidget*>(ui.LostVolumesButton), static_cast<QWidget*>(ui.Tiplab)})
    QVERIFY2(InsideWindow(w, x), qPrintable(x->objectName()));
  QVERIFY(RunToEnd(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton));
  QVERIFY(ui.disklistFrame->isVisible());
  for (QWidget* x : {static_cast<QWidget*>(ui.diskHomeButton), static_cast<QWidget*>(ui.scanDelDiskBtn),
                     static_cast<QWidget*>(ui.lostpartitionTableWidget), static_cast<QWidget*>(ui.partrecoveryButton),
                     static_cast<QWidget*>(ui.deeprecoveryButton), static_cast<QWidget*>(ui.driveselectpartlab)})
    QVERIFY2(InsideWindow(w, x), qPrintable(x->objectName()));
  QCOMPARE(ui.lostpartitionTableWidget->item(0, 2)->text(), QStringLiteral("HFS+"));
  QCOMPARE(ui.lostpartitionTableWidget->item(0, 1)->text(), QStringLiteral("200.00 MB"));
  Shot(&w, "lost-partition-hfs");

  // Nothing found: the page says how large a partition must be to be found, and Start Scan keeps it.
  // While it searches, the last search's rows are not shown.
  Click(ui.diskHomeButton);
  delete engine.found[0];
  engine.found.clear();
  engine.searchUntilStopped = true;
  Start(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton);
  QVERIFY(w.ScanRunning());
  QCOMPARE(ui.lostpartitionTableWidget->rowCount(), 0);
  engine.searchUntilStopped = false;
  QTRY_VERIFY(!w.ScanRunning());
  const QString none = QStringLiteral(
      "No lost partitions of 200 MB or more were found on this disk. Deep Recovery finds files by their "
      "contents, in smaller volumes too.");
  QCOMPARE(ui.scanningstatelab->text(), none);
  QVERIFY(TextFits(ui.scanningstatelab));
  engine.lastKind = -1;
  Click(ui.scanDelDiskBtn);
  QCOMPARE(engine.lastKind, -1);
  QCOMPARE(ui.scanningstatelab->text(), none);
  QVERIFY(ui.scanningstatelab->isVisible());
  QVERIFY(InsideWindow(w, ui.scanningstatelab));
  Shot(&w, "lost-partition-none");

  // Results page: its buttons and status line too.
  Click(ui.diskHomeButton);
  Start(w, DeviceRow(w, "Disk A", "DATA"), ui.DeepScanButton);
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
  QLabel* status = w.findChild<QLabel*>("resultStatuslab");
  QVERIFY(status);
  for (QWidget* x : {static_cast<QWidget*>(ui.HomeButton), static_cast<QWidget*>(ui.recoveryBtn),
                     static_cast<QWidget*>(status), static_cast<QWidget*>(ui.allfileSizebotlab)})
    QVERIFY2(InsideWindow(w, x), qPrintable(x->objectName()));
  QVERIFY(!status->geometry().intersects(ui.HomeButton->geometry()));
  QVERIFY(!status->geometry().intersects(ui.recoveryBtn->geometry()));
}

void WindowTest::homeLooksDisabledDuringAScan() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  auto& ui = w.Form();
  Start(w, DeviceRow(w, "Disk A", "DATA"), ui.DeleteScanButton);
  QVERIFY(w.ScanRunning());
  QVERIFY(!ui.HomeButton->isEnabled());
  auto* dim = qobject_cast<QGraphicsOpacityEffect*>(ui.HomeButton->graphicsEffect());
  QVERIFY(dim && dim->opacity() < 0.5);
  QVERIFY(qobject_cast<QGraphicsOpacityEffect*>(ui.recoveryBtn->graphicsEffect()));
  Shot(&w, "results-page-home-disabled");
  Click(ui.HomeButton);
  QVERIFY(w.ScanRunning());
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
  QVERIFY(ui.HomeButton->isEnabled());
  QVERIFY(!ui.HomeButton->graphicsEffect());

  // A lost-partition search dims Start Scan of its page as a scan dims Home, and its end undims it.
  Click(ui.HomeButton);
  engine.found.push_back(FakeDevice::Part(DT_PARTITION, "found", 409600, PT_NTFS));
  engine.searchUntilStopped = true;
  Start(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton);
  QVERIFY(w.ScanRunning());
  QTRY_COMPARE(ui.partprogressBar->value(), 50);
  QVERIFY(ui.scanDelDiskBtn->isVisible() && !ui.scanDelDiskBtn->isEnabled());
  dim = qobject_cast<QGraphicsOpacityEffect*>(ui.scanDelDiskBtn->graphicsEffect());
  QVERIFY(dim && dim->opacity() < 0.5);
  Shot(&w, "lost-partition-start-dimmed");
  engine.searchUntilStopped = false;
  QTRY_VERIFY(!w.ScanRunning());
  QVERIFY(ui.scanDelDiskBtn->isEnabled() && !ui.scanDelDiskBtn->graphicsEffect());
  // Left through Home while it runs: the next page's Start Scan is not left dimmed.
  Click(ui.diskHomeButton);
  engine.searchUntilStopped = true;
  Start(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton);
  QVERIFY(!ui.scanDelDiskBtn->isEnabled());
  Click(ui.diskHomeButton);
  QTRY_VERIFY(!w.ScanRunning());
  QVERIFY(ui.scanDelDiskBtn->isEnabled());
}

namespace {

const char* const kRed = "#C0392B";

QList<QPushButton*> Cards(SorbeckRecovery& w) {
  auto& ui = w.Form();
  return {ui.DeleteScanButton, ui.DeepScanButton, ui.PartitionScanButton, ui.LostVolumesButton};
}

}  // namespace

void WindowTest::foundPartitionStartNeedsAFoundRowInEitherDeviceOrder() {
  // The searched disk first in the device list, then second: its device index must never be
  // taken for a row of the found list.
  for (int order = 0; order < 2; ++order) {
    FakeEngine engine;
    if (order == 1) engine.AddDisk("Other Disk", "OTHER");
    engine.AddDisk("Lost Disk", "DATA");
    for (const char* l : {"one", "two"}) engine.found.push_back(FakeDevice::Part(DT_PARTITION, l, 409600, PT_NTFS));
    ShownWindow w(&engine);
    auto& ui = w.Form();
    QVERIFY(RunToEnd(w, DeviceRow(w, "Lost Disk"), ui.LostVolumesButton));
    QCOMPARE(g_FoundPartitions.size(), size_t(2));
    QVERIFY(ui.lostpartitionTableWidget->selectedItems().isEmpty());
    for (QRadioButton* option : {ui.partrecoveryButton, ui.deeprecoveryButton}) {
      Click(option);
      engine.lastKind = -1;
      Click(ui.scanDelDiskBtn);
      QCOMPARE(engine.lastKind, -1);
      QVERIFY(!w.ScanRunning());
      QVERIFY(ui.disklistFrame->isVisible());
      QVERIFY2(ui.scanningstatelab->isVisible() && ui.scanningstatelab->text().contains("select a found partition"),
               qPrintable(ui.scanningstatelab->text()));
    }
    if (order == 0) Shot(&w, "lost-partition-no-row-picked");
    // Picking a row mends it: the request goes, and the scan reads that partition under its name.
    emit ui.lostpartitionTableWidget->itemClicked(ui.lostpartitionTableWidget->item(1, 0));
    QVERIFY(!ui.scanningstatelab->isVisible());
    Click(ui.scanDelDiskBtn);
    QCOMPARE(engine.lastKind, 0x10000);
    QCOMPARE(engine.lastDevice, static_cast<IDevice*>(engine.found[1]));
    QCOMPARE(w.SelectedDriveName(), QStringLiteral("two"));
    QVERIFY(ui.Resultframe->isVisible());
    Click(ui.scanStopBtn);
    QTRY_VERIFY(!w.ScanRunning());
  }
}

void WindowTest::modesRefusedOnTheWrongKindOfDeviceSaySoAtOnce() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  auto& ui = w.Form();
  QTreeWidget* tree = ui.allDiskTreeWidget;
  QTreeWidgetItem* disk = DeviceRow(w, "Disk A");
  QTreeWidgetItem* part = DeviceRow(w, "Disk A", "DATA");

  // Volume Recovery chosen on a partition, then the disk clicked: its card stays marked, and the
  // page says at once why it cannot run there; Start Scan reads nothing.
  emit tree->itemClicked(part, 0);
  Click(ui.PartitionScanButton);
  emit tree->itemClicked(disk, 0);
  QVERIFY(ui.PartitionScanButton->isVisible() && ui.PartitionScanButton->isChecked());
  QString tip = ui.Tiplab->text();
  QVERIFY2(tip.contains(kRed) && tip.contains("Volume Recovery reads one partition, and a whole disk is selected"),
           qPrintable(tip));
  QVERIFY(ui.Tiplab->heightForWidth(ui.Tiplab->width()) <= ui.Tiplab->height());
  Shot(&w, "start-page-volume-on-disk");
  Click(ui.scanTheDiskBtn);
  QCOMPARE(engine.lastKind, -1);
  QVERIFY(!w.ScanRunning());
  QVERIFY(ui.Welcomeframe->isVisible());
  QVERIFY(ui.Tiplab->text().contains("whole disk is selected"));

  // Back on the partition: the card returns marked, with its words, and the refusal is gone.
  emit tree->itemClicked(part, 0);
  QVERIFY(ui.PartitionScanButton->isVisible() && ui.PartitionScanButton->isChecked());
  tip = ui.Tiplab->text();
  QVERIFY2(!tip.contains(kRed) && tip.contains("normal and formatted volumes"), qPrintable(tip));
  Click(ui.scanTheDiskBtn);
  QCOMPARE(engine.lastKind, int(Scan_Format));
  QCOMPARE(engine.lastDevice, static_cast<IDevice*>(engine.devices[2]));
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
  Click(ui.HomeButton);

  // Deleted Recovery on the disk: the same words before any engine call.
  emit tree->itemClicked(disk, 0);
  engine.lastKind = -1;
  Click(ui.DeleteScanButton);
  Click(ui.scanTheDiskBtn);
  QCOMPARE(engine.lastKind, -1);
  QVERIFY(ui.Tiplab->text().contains("Deleted Recovery reads one partition"));

  // Lost Partitions chosen on the disk, then a partition clicked: the search runs on a whole
  // disk, and is not started on a partition.
  Click(ui.LostVolumesButton);
  emit tree->itemClicked(part, 0);
  QVERIFY(ui.LostVolumesButton->isVisible() && ui.LostVolumesButton->isChecked());
  tip = ui.Tiplab->text();
  QVERIFY2(tip.contains(kRed) && tip.contains("Lost Partitions searches a whole disk"), qPrintable(tip));
  Click(ui.scanTheDiskBtn);
  QCOMPARE(engine.searches, 0);
  QVERIFY(!w.ScanRunning());
  QVERIFY(!ui.disklistFrame->isVisible());
  emit tree->itemClicked(disk, 0);
  QVERIFY(!ui.Tiplab->text().contains(kRed));
  QVERIFY(ui.LostVolumesButton->isChecked());
}

void WindowTest::engineCodesInWords() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  auto& ui = w.Form();

  // Volume Recovery on a partition where no volume is recognised: what that means and what to do.
  engine.scanner.immediate = RC_WRONG_FS;
  QVERIFY(RunToEnd(w, DeviceRow(w, "Disk A", "DATA"), ui.PartitionScanButton));
  const QString status = w.StatusText();
  QVERIFY2(status.contains("No formatted or damaged volume was recognised") &&
               status.contains("Deep Recovery finds files by their contents") && !status.contains("ended early"),
           qPrintable(status));
  QLabel* line = w.findChild<QLabel*>("resultStatuslab");
  QCOMPARE(line->text(), status);
  QVERIFY2(line->heightForWidth(line->width()) <= line->height(),
           qPrintable(QString("%1 of %2").arg(line->heightForWidth(line->width())).arg(line->height())));
  Shot(&w, "results-page-no-volume");
  Click(ui.HomeButton);

  // A search the engine refuses says so on its page, which then offers nothing to scan.
  engine.scanner.immediate = 0;
  engine.searchResult = RC_FAIL;
  QVERIFY(RunToEnd(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton));
  QVERIFY2(ui.scanningstatelab->text().contains("The search for lost partitions failed (engine code -1)"),
           qPrintable(ui.scanningstatelab->text()));
  QVERIFY(!ui.scanDelDiskBtn->isVisible());
}

void WindowTest::chosenCardStaysMarkedAndRedTextGoesWhenMended() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  auto& ui = w.Form();
  QTreeWidget* tree = ui.allDiskTreeWidget;

  // First start: no card is marked, and Start Scan asks for a mode instead of running one.
  for (QPushButton* card : Cards(w)) QVERIFY(!card->isChecked());
  QVERIFY(!w.ModeChosen());
  const QImage plain = ui.DeepScanButton->grab().toImage();
  Click(ui.scanTheDiskBtn);
  QVERIFY2(ui.Tiplab->text().contains("choose a kind of recovery"), qPrintable(ui.Tiplab->text()));
  Pick(w, DeviceRow(w, "Disk A", "DATA"));
  Click(ui.scanTheDiskBtn);
  QCOMPARE(engine.lastKind, -1);
  QVERIFY(!w.ScanRunning());
  QVERIFY(ui.Tiplab->text().contains("choose a kind of recovery"));
  Shot(&w, "start-page-no-mode");

  // The clicked card stays marked, in looks too, after the mouse has left it.
  Click(ui.DeepScanButton);
  QTest::mouseMove(tree);
  QVERIFY(ui.DeepScanButton->isChecked());
  QVERIFY(ui.DeepScanButton->grab().toImage() != plain);
  QVERIFY(!ui.Tiplab->text().contains(kRed));
  Shot(&w, "start-page-deep-marked");
  Click(ui.DeleteScanButton);
  QVERIFY(ui.DeleteScanButton->isChecked() && !ui.DeepScanButton->isChecked());
  QCOMPARE(ui.DeepScanButton->grab().toImage(), plain);

  // After a scan and Home, the marked card is the mode in force.
  Click(ui.scanTheDiskBtn);
  QCOMPARE(engine.lastKind, int(Scan_Deleted));
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
  Click(ui.HomeButton);
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_Deleted));
  int marked = 0;
  for (QPushButton* card : Cards(w)) marked += card->isChecked();
  QCOMPARE(marked, 1);
  QVERIFY(ui.DeleteScanButton->isChecked());
  QVERIFY(ui.Tiplab->text().contains("even emptied from Trash Bin"));

  // A found partition's scan, then Home: the Lost Partitions card and mode again.
  engine.found.push_back(FakeDevice::Part(DT_PARTITION, "found", 409600, PT_NTFS));
  QVERIFY(RunToEnd(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton));
  emit ui.lostpartitionTableWidget->itemClicked(ui.lostpartitionTableWidget->item(0, 0));
  Click(ui.deeprecoveryButton);
  Click(ui.scanDelDiskBtn);
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_Deep));
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
  Click(ui.HomeButton);
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_LostPartitions));
  QVERIFY(ui.LostVolumesButton->isChecked() && !ui.DeepScanButton->isChecked());
  Shot(&w, "start-page-after-home-marked");

  // A red request goes once it is mended.
  SorbeckRecovery fresh(&engine);
  fresh.show();
  Click(fresh.Form().DeepScanButton);
  Click(fresh.Form().scanTheDiskBtn);
  QVERIFY(fresh.Form().Tiplab->text().contains(kRed));
  QVERIFY(fresh.Form().Tiplab->text().contains("select a device"));
  Pick(fresh, DeviceRow(fresh, "Disk A", "DATA"));
  QVERIFY(!fresh.Form().Tiplab->text().contains(kRed));
  QVERIFY(fresh.Form().Tiplab->text().contains("Use Deep Recovery option"));
}

void WindowTest::searchCanBeStoppedAndAnEmptyOneOffersNothing() {
  FakeEngine engine("Disk A", "DATA");
  engine.searchUntilStopped = true;
  ShownWindow w(&engine);
  auto& ui = w.Form();
  Start(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton);
  QVERIFY(w.ScanRunning());
  QPushButton* stop = w.findChild<QPushButton*>("searchStopBtn");
  QVERIFY(stop && stop->isVisible());
  QVERIFY(InsideWindow(w, stop));
  QVERIFY(!stop->geometry().intersects(ui.partprogressBar->geometry()));
  QVERIFY(!ui.partrecoveryButton->isEnabled() && !ui.deeprecoveryButton->isEnabled());
  QTRY_COMPARE(ui.partprogressBar->value(), 50);
  Shot(&w, "lost-partition-searching");
  Click(stop);
  QTRY_VERIFY(!w.ScanRunning());
  QVERIFY(engine.searchStopped.load());
  QVERIFY(!stop->isVisible());
  QCOMPARE(ui.scanningstatelab->text(), QStringLiteral("The search was stopped before any lost partition was found."));
  for (QWidget* x : {static_cast<QWidget*>(ui.partrecoveryButton), static_cast<QWidget*>(ui.deeprecoveryButton),
                     static_cast<QWidget*>(ui.scanDelDiskBtn), static_cast<QWidget*>(ui.lostpartitionTableWidget)})
    QVERIFY2(!x->isVisible(), qPrintable(x->objectName()));
  QVERIFY(ui.diskHomeButton->isVisible());
  Shot(&w, "lost-partition-stopped");

  // Nothing found: the page offers nothing to scan, only the way home.
  Click(ui.diskHomeButton);
  engine.searchUntilStopped = false;
  Click(ui.scanTheDiskBtn);
  QTRY_VERIFY(!w.ScanRunning());
  QVERIFY2(ui.scanningstatelab->text().startsWith("No lost partitions of 200 MB or more were found on this disk.") &&
               ui.scanningstatelab->text().contains("Deep Recovery finds files by their contents"),
           qPrintable(ui.scanningstatelab->text()));
  QVERIFY(!ui.scanDelDiskBtn->isVisible() && !ui.partrecoveryButton->isVisible());
  Shot(&w, "lost-partition-none-found");

  // One found, and a stop after it: it is listed and can be scanned.
  Click(ui.diskHomeButton);
  engine.found.push_back(FakeDevice::Part(DT_PARTITION, "found", 409600, PT_NTFS));
  engine.searchUntilStopped = true;
  Click(ui.scanTheDiskBtn);
  QTRY_COMPARE(ui.partprogressBar->value(), 50);
  Click(stop);
  QTRY_VERIFY(!w.ScanRunning());
  QVERIFY2(ui.scanningstatelab->text().contains("the partition found before it is listed below"),
           qPrintable(ui.scanningstatelab->text()));
  QVERIFY(ui.scanDelDiskBtn->isVisible() && ui.partrecoveryButton->isEnabled());
  QCOMPARE(ui.lostpartitionTableWidget->item(0, 0)->text(), QStringLiteral("found"));
}

void WindowTest::cutPartitionsSayTheyAreCutAndSizesSortByBytes() {
  FakeEngine engine;
  engine.devices.push_back(FakeDevice::Disk(DT_FIXED_DISK, "Cut Disk", 96ll << 20));
  engine.devices.push_back(FakeDevice::Part(DT_PARTITION, "WHOLE", 61440, PT_NTFS));
  FakeDevice* cut = FakeDevice::Part(DT_PARTITION, "CUT", 63488, PT_FAT32);
  cut->SetFlags(PF_CLIPPED);
  engine.devices.push_back(cut);
  engine.found.push_back(FakeDevice::Part(DT_PARTITION, "small", 614400, PT_NTFS));
  engine.found.push_back(FakeDevice::Part(DT_PARTITION, "large", 3145728, PT_NTFS));
  FakeDevice* cutFound = FakeDevice::Part(DT_PARTITION, "cut", 409600, PT_NTFS);
  cutFound->SetFlags(PF_CLIPPED);
  engine.found.push_back(cutFound);
  ShownWindow w(&engine);
  auto& ui = w.Form();
  QTreeWidgetItem* row = DeviceRow(w, "Cut Disk", "CUT");
  QVERIFY(row);
  QCOMPARE(row->text(1), QStringLiteral("31.00 MB (cut short)"));
  QVERIFY(row->toolTip(0).contains("its last part is missing"));
  QCOMPARE(DeviceRow(w, "Cut Disk", "WHOLE")->text(1), QStringLiteral("30.00 MB"));
  QVERIFY(DeviceRow(w, "Cut Disk", "WHOLE")->toolTip(0).isEmpty());
  Shot(&w, "start-page-cut-partition");

  QVERIFY(RunToEnd(w, DeviceRow(w, "Cut Disk"), ui.LostVolumesButton));
  QTableWidget* table = ui.lostpartitionTableWidget;
  QCOMPARE(table->item(2, 1)->text(), QStringLiteral("200.00 MB (cut short)"));
  QVERIFY(table->columnWidth(1) > table->fontMetrics().horizontalAdvance(table->item(2, 1)->text()));
  // "1.50 GB" sorts before "300.00 MB" as text; by bytes it is the largest.
  table->sortItems(1, Qt::AscendingOrder);
  QCOMPARE(table->item(0, 0)->text(), QStringLiteral("cut"));
  QCOMPARE(table->item(1, 0)->text(), QStringLiteral("small"));
  QCOMPARE(table->item(2, 0)->text(), QStringLiteral("large"));
  emit table->itemClicked(table->item(2, 0));
  QCOMPARE(w.SelectedIndex(), 1);
  Shot(&w, "lost-partition-cut-sorted");
}

void WindowTest::lostPartitionSearchNeedsNoScanner() {
  FakeEngine engine("Disk A", "DATA");
  engine.found.push_back(FakeDevice::Part(DT_PARTITION, "lost", 2048, PT_FAT32));
  engine.createResult = RC_FAIL;
  ShownWindow w(&engine);
  Start(w, DeviceRow(w, "Disk A"), w.Form().LostVolumesButton);
  QVERIFY(engine.lastKind != -1);
  QTRY_VERIFY(!w.ScanRunning());
  QCOMPARE(engine.searches, 1);
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_FoundVolume));
  QCOMPARE(w.Form().lostpartitionTableWidget->item(0, 0)->text(), QStringLiteral("lost"));
  QVERIFY(!w.Form().Tiplab->text().contains("engine code"));
}

// A search started with the deep option left chosen from the last one ends on the volume option,
// which is the mode it leaves in force.
void WindowTest::searchEndsWithTheVolumeOptionChecked() {
  FakeEngine engine("Disk A", "DATA");
  engine.found.push_back(FakeDevice::Part(DT_PARTITION, "lost", 2048, PT_FAT32));
  ShownWindow w(&engine);
  auto& ui = w.Form();
  QVERIFY(RunToEnd(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton));
  Click(ui.deeprecoveryButton);
  QVERIFY(ui.deeprecoveryButton->isChecked());
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_FoundDeep));

  Click(ui.HomeButton);
  QVERIFY(RunToEnd(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton));
  QCOMPARE(engine.searches, 2);
  QCOMPARE(w.Mode(), int(SorbeckRecovery::Mode_FoundVolume));
  QVERIFY(ui.partrecoveryButton->isChecked());
  QVERIFY(!ui.deeprecoveryButton->isChecked());
}

// Deleted Recovery on a volume that cannot be read as a file system sends the person to the mode
// that rebuilds it, before the one that loses names and folders.
void WindowTest::deletedRecoveryOnAnUnreadableVolumePointsToVolumeRecovery() {
  FakeEngine engine("Disk A", "DATA");
  engine.createResult = RC_FAIL;
  ShownWindow w(&engine);
  auto& ui = w.Form();
  Start(w, DeviceRow(w, "Disk A", "DATA"), ui.DeleteScanButton);
  QCOMPARE(engine.lastKind, int(Scan_Deleted));
  const QString tip = ui.Tiplab->text();
  QVERIFY2(tip.contains("Deleted Recovery does not read this volume") && !tip.contains("damaged") &&
               tip.contains("Volume Recovery first: it finds volumes by their own structures") &&
               tip.indexOf("Volume Recovery") < tip.indexOf("Deep Recovery"),
           qPrintable(tip));
  QVERIFY2(TextFits(ui.Tiplab), qPrintable(tip));
  Shot(&w, "start-page-deleted-unreadable");

  // A deleted-file scan that answers "not this file system" says the same on the results page.
  engine.createResult = 0;
  engine.scanner.immediate = RC_WRONG_FS;
  Click(ui.scanTheDiskBtn);
  QTRY_VERIFY(!w.ScanRunning());
  const QString status = w.StatusText();
  QVERIFY2(status.contains("Volume Recovery first") &&
               status.indexOf("Volume Recovery") < status.indexOf("Deep Recovery") &&
               !status.contains("ended early"),
           qPrintable(status));
  QLabel* line = w.findChild<QLabel*>("resultStatuslab");
  QCOMPARE(line->text(), status);
  Shot(&w, "results-page-deleted-unreadable");

  // Volume Recovery that cannot run there either points on to Deep Recovery alone.
  Click(ui.HomeButton);
  engine.scanner.immediate = 0;
  engine.createResult = RC_FAIL;
  Start(w, DeviceRow(w, "Disk A", "DATA"), ui.PartitionScanButton);
  QVERIFY2(ui.Tiplab->text().contains("Deep Recovery can still find files"), qPrintable(ui.Tiplab->text()));
}

// Whatever row is clicked, the four cards stay where they are and the chosen one stays marked;
// the red text says why the chosen mode cannot run on the row.
void WindowTest::cardsStayInPlaceAndMarkedOnEveryDevice() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  auto& ui = w.Form();
  QList<QRect> places;
  for (QPushButton* card : Cards(w)) places << card->geometry();
  const struct {
    QPushButton* card;
    const char* chosenOn;
    const char* refusedOn;
    const char* words;
  } cases[] = {{ui.PartitionScanButton, "DATA", "",
                "Volume Recovery reads one partition, and a whole disk is selected"},
               {ui.DeleteScanButton, "DATA", "", "Deleted Recovery reads one partition"},
               {ui.LostVolumesButton, "", "DATA", "Lost Partitions searches a whole disk"}};
  for (const auto& c : cases) {
    Pick(w, DeviceRow(w, "Disk A", c.chosenOn));
    Click(c.card);
    Pick(w, DeviceRow(w, "Disk A", c.refusedOn));
    QList<QRect> now;
    for (QPushButton* card : Cards(w)) {
      QVERIFY2(card->isVisible(), qPrintable(card->objectName()));
      QCOMPARE(card->isChecked(), card == c.card);
      now << card->geometry();
    }
    QCOMPARE(now, places);
    const QString tip = ui.Tiplab->text();
    QVERIFY2(tip.contains(kRed) && tip.contains(QLatin1String(c.words)), qPrintable(tip));
    QVERIFY2(TextFits(ui.Tiplab), qPrintable(tip));
    // Choosing the card again with the wrong row selected says it at once too.
    Click(c.card);
    QVERIFY2(ui.Tiplab->text().contains(QLatin1String(c.words)), qPrintable(ui.Tiplab->text()));
  }
  Shot(&w, "start-page-lost-on-partition");
  // Back on a row where the mode runs: the red text goes, the card is still the marked one.
  Pick(w, DeviceRow(w, "Disk A"));
  QVERIFY(ui.LostVolumesButton->isChecked() && !ui.Tiplab->text().contains(kRed));
}

void WindowTest::lostPartitionsSaysItFindsVolumesOf200MbAndMore() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  auto& ui = w.Form();
  QVERIFY2(ui.LostVolumesButton->toolTip().contains("200 MB or more"),
           qPrintable(ui.LostVolumesButton->toolTip()));
  Pick(w, DeviceRow(w, "Disk A"));
  Click(ui.LostVolumesButton);
  // Said before the search, beside the mode's own words, and whole.
  const QString tip = ui.Tiplab->text();
  QVERIFY2(tip.contains("resized or corrupted volumes") && tip.contains("200 MB or more") &&
               tip.contains("smaller stick or memory card, use Deep Recovery"),
           qPrintable(tip));
  QVERIFY2(TextFits(ui.Tiplab), qPrintable(tip));
  Shot(&w, "start-page-lost-size");
  // The README says it too, on the mode's own row.
  QString row;
  for (const QString& line : QString::fromUtf8(ReadAll(KESTRUM_SOURCE_DIR "/README.md")).split('\n'))
    if (line.startsWith("| Lost Partitions |")) row = line;
  QVERIFY2(row.contains("200 MB") && row.contains("use Deep Recovery"), qPrintable(row));
  // And again after a search, when the start page comes back.
  QVERIFY(RunToEnd(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton));
  Click(ui.diskHomeButton);
  QVERIFY(ui.Tiplab->text().contains("200 MB or more"));
}

void WindowTest::searchThatFoundPartitionsSaysHowMany() {
  FakeEngine engine("Disk A", "DATA");
  ShownWindow w(&engine);
  auto& ui = w.Form();
  const struct {
    const char* label;
    uint32_t type;
    const char* says;
  } finds[] = {{"one", PT_NTFS, "1 lost partition was found."},
               {"two", PT_FAT32, "2 lost partitions were found."}};
  for (const auto& f : finds) {
    engine.found.push_back(FakeDevice::Part(DT_PARTITION, f.label, 409600, f.type));
    QVERIFY(RunToEnd(w, DeviceRow(w, "Disk A"), ui.LostVolumesButton));
    QLabel* said = ui.scanningstatelab;
    QVERIFY2(said->isVisible() && said->text().startsWith(QLatin1String(f.says)), qPrintable(said->text()));
    QVERIFY(TextFits(said) && ShownWhole(said));
    Shot(&w, "lost-partition-found-count");
    Click(ui.diskHomeButton);
  }
}

// A path in KESTRUM_DISKS that cannot be read is not listed, and stderr says which.
void WindowTest::unreadableDiskPathIsSaidOnStderr() {
  QTemporaryDir dir;
  const QString missing = dir.filePath("no-such-disk.img");
  const QString present = dir.filePath("present.img");
  QVERIFY(ZeroFile(present, 16ll << 20));
  QTemporaryFile err;
  QVERIFY(err.open());
  std::fflush(stderr);
  const int saved = dup(2);
  QVERIFY(dup2(err.handle(), 2) >= 0);
  {
    ScopedDisks disks(missing + ":" + present);
    ShownWindow w;
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    QCOMPARE(w.Form().allDiskTreeWidget->topLevelItemCount(), 1);
    QVERIFY(w.Form().allDiskTreeWidget->topLevelItem(0)->text(0).contains("present.img"));
  }
  err.seek(0);
  const QString said = QString::fromLocal8Bit(err.readAll());
  QVERIFY2(said.contains("KESTRUM_DISKS: " + missing +
                         " is not listed: " + QString::fromLocal8Bit(strerror(ENOENT))),
           qPrintable(said));
  QCOMPARE(said.count(missing), 1);
  QVERIFY(!said.contains("present.img"));

  // Every listed disk missing: the window says, where the disks would be, that none could be
  // opened, which path failed and why; Start Scan says the same instead of asking for a row.
  const QString other = dir.filePath("gone/second.img");
  ScopedDisks disks(missing + ":" + other);
  ShownWindow w;
  auto& ui = w.Form();
  QCOMPARE(ui.allDiskTreeWidget->topLevelItemCount(), 0);
  QLabel* why = w.findChild<QLabel*>("noDiskLab");
  QVERIFY(why && why->isVisible());
  const QString reason = QString::fromLocal8Bit(strerror(ENOENT));
  QVERIFY2(why->text().startsWith("No disk could be opened") && why->text().contains(missing + ": " + reason) &&
               why->text().contains(other + ": " + reason),
           qPrintable(why->text()));
  QVERIFY(TextFits(why) && ShownWhole(why));
  Shot(&w, "start-page-no-disk");
  Click(ui.DeleteScanButton);
  Click(ui.scanTheDiskBtn);
  QVERIFY(!w.ScanRunning());
  QVERIFY2(ui.Tiplab->text().contains("No disk could be opened") && !ui.Tiplab->text().contains("select a device"),
           qPrintable(ui.Tiplab->text()));
  QVERIFY(why->isVisible());
}

// Down moves the highlight in the device list and in the list of found partitions; the device
// scanned is the one highlighted, not the one clicked before.
void WindowTest::keysMoveTheChoiceWithTheHighlight() {
  FakeEngine engine("Disk A", "DATA");
  for (const char* l : {"first", "second", "third"})
    engine.found.push_back(FakeDevice::Part(DT_PARTITION, l, 409600, PT_NTFS));
  ShownWindow w(&engine);
  auto& ui = w.Form();
  QTreeWidget* tree = ui.allDiskTreeWidget;
  QTreeWidgetItem* data = DeviceRow(w, "Disk A", "DATA");
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(data).center());
  QCOMPARE(w.SelectedIndex(), 2);
  QTest::keyClick(tree, Qt::Key_Down);
  QTest::keyClick(tree, Qt::Key_Down);
  QTreeWidgetItem* last = DeviceRow(w, "Disk A", "last");
  QCOMPARE(tree->currentItem(), last);
  QVERIFY(last->isSelected() && !data->isSelected());
  QCOMPARE(w.SelectedIndex(), 6);
  QCOMPARE(w.SelectedDriveName(), QStringLiteral("last"));
  Shot(&w, "start-page-keys");
  Click(ui.DeleteScanButton);
  Click(ui.scanTheDiskBtn);
  QCOMPARE(engine.lastDevice, static_cast<IDevice*>(engine.devices[6]));
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
  Click(ui.HomeButton);
  // Up to the disk: the Lost Partitions card now runs on it.
  QTest::keyClick(tree, Qt::Key_Up);
  QTest::keyClick(tree, Qt::Key_Up);
  QTest::keyClick(tree, Qt::Key_Up);
  QCOMPARE(tree->currentItem(), DeviceRow(w, "Disk A"));
  QCOMPARE(w.SelectedIndex(), 0);

  Click(ui.LostVolumesButton);
  Click(ui.scanTheDiskBtn);
  QTRY_VERIFY(!w.ScanRunning());
  QTableWidget* table = ui.lostpartitionTableWidget;
  QCOMPARE(table->item(0, 0)->text(), QStringLiteral("first"));
  QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualItemRect(table->item(0, 0)).center());
  QCOMPARE(w.SelectedIndex(), 0);
  QTest::keyClick(table, Qt::Key_Down);
  QTest::keyClick(table, Qt::Key_Down);
  QCOMPARE(table->currentRow(), 2);
  QCOMPARE(w.SelectedIndex(), 2);
  QCOMPARE(w.SelectedDriveName(), QStringLiteral("third"));
  Shot(&w, "lost-partition-keys");
  Click(ui.scanDelDiskBtn);
  QCOMPARE(engine.lastDevice, static_cast<IDevice*>(engine.found[2]));
  Click(ui.scanStopBtn);
  QTRY_VERIFY(!w.ScanRunning());
}

// "N files in SIZE": the size begins after "files in" ends, on the scan page while the scan runs
// and under the table when it has ended, whatever fonts the machine gives; the labels stay where
// the form puts them.
void WindowTest::filesInAndTheSizeReadApartOnBothPages() {
  const QFont plain = QApplication::font();
  struct Fonts {
    const char* family;  // of the window, and in place of the form's Lucida Bright; null: as found
    int points;
  } const cases[] = {{nullptr, 0}, {"DejaVu Sans Mono", 12}};
  for (const Fonts& f : cases) {
    if (f.family) {
      QApplication::setFont(QFont(QString::fromLatin1(f.family), f.points));
      QFont::insertSubstitution(QStringLiteral("Lucida Bright"), QString::fromLatin1(f.family));
    }
    struct Restore {
      QFont font;
      ~Restore() {
        QApplication::setFont(font);
        QFont::removeSubstitutions(QStringLiteral("Lucida Bright"));
      }
    } restore{plain};
    const QString name = f.family ? QString::fromLatin1(f.family) : QStringLiteral("default");
    FakeEngine engine("Disk A", "DATA");
    ShownWindow w(&engine);
    auto& ui = w.Form();
    Start(w, DeviceRow(w, "Disk A", "DATA"), ui.DeleteScanButton);
    QVERIFY(w.ScanRunning());
    QTRY_COMPARE(ui.allfileSizelab->text(), QStringLiteral("0 bytes"));
    QVERIFY(ui.OtherFileNamelab_5->isVisible() && ui.allfileSizelab->isVisible());
    QCOMPARE(ui.OtherFileNamelab_5->text(), QStringLiteral("files in"));
    QCOMPARE(ui.OtherFileNamelab_5->geometry(), QRect(594, 30, 71, 21));
    QCOMPARE(ui.allfileSizelab->geometry(), QRect(650, 30, 191, 21));
    QVERIFY2(TextsOverlap(ui.OtherFileNamelab_5, ui.allfileSizelab).isEmpty(),
             qPrintable(name + ": " + TextsOverlap(ui.OtherFileNamelab_5, ui.allfileSizelab)));
    QVERIFY(TextFits(ui.allfileSizelab));
    Shot(&w, qPrintable("scan-page-counts-" + name));
    Click(ui.scanStopBtn);
    QTRY_VERIFY(!w.ScanRunning());
    QVERIFY(ui.allfilebotlab->isVisible() && ui.allfileSizebotlab->isVisible());
    QCOMPARE(ui.allfilebotlab->text(), QStringLiteral("files in"));
    QCOMPARE(ui.allfilebotlab->geometry(), QRect(454, 570, 71, 21));
    QCOMPARE(ui.allfileSizebotlab->geometry(), QRect(510, 570, 191, 21));
    QVERIFY2(TextsOverlap(ui.allfilebotlab, ui.allfileSizebotlab).isEmpty(),
             qPrintable(name + ": " + TextsOverlap(ui.allfilebotlab, ui.allfileSizebotlab)));
    // The longest size text still fits its label on one line.
    ui.allfileSizebotlab->setText(FormatFileSizeText(1023ull << 30));
    QVERIFY2(TextFits(ui.allfileSizebotlab), qPrintable(name));
    Shot(&w, qPrintable("results-page-counts-" + name));
  }
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
