// The main window: start page with the device tree and mode buttons, the results page and the
// lost-partition page, and the start and end of every scan.
#pragma once
#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QString>
#include <cstdint>

#include "frontend/nodes.h"
#include "frontend/ui_sorbeckrecovery.h"

class QTimer;
class QTableWidget;
class QTreeWidgetItem;
class QTableWidgetItem;
class IRecoveryManagement;
class IScanOperator;
class IFileManager;
class IScanParam;
class IDevice;
class QXQuickScanThread;
class JMRecoverFileThreader;
class PreviewReader;
class QLabel;
class QButtonGroup;
class QPushButton;

class SorbeckRecovery : public QMainWindow {
  Q_OBJECT

 public:
  // The window's modes; the first three are also the engine's scan kinds.
  enum RecoveryMode {
    Mode_Deleted = 0x1,
    Mode_Volume = 0x100,
    Mode_Deep = 0x10000,
    Mode_LostPartitions = 0,
    Mode_FoundVolume = 0x20000,
    Mode_FoundDeep = 0x40000,
  };

  // Binds the engine through InitKestrum, unless a top object is handed in (tests do that).
  explicit SorbeckRecovery(IRecoveryManagement* engine = nullptr, QWidget* parent = nullptr);
  ~SorbeckRecovery() override;

  int Mode() const { return m_mode; }
  // Whether a mode card has been chosen on the start page; until then Start Scan asks for one.
  bool ModeChosen() const { return m_modeChosen; }
  int SelectedIndex() const { return m_selectedIndex; }
  const QString& SelectedDriveName() const { return m_selectedDriveName; }
  bool ScanRunning() const { return m_scanThread != nullptr; }
  IScanOperator* Scanner() const { return m_scanner; }
  Ui::SorbeckRecoveryClass& Form() { return ui; }
  bool CopyRunning() const { return m_copyThread != nullptr; }
  bool PreviewRunning() const { return m_preview != nullptr; }
  // What the last scan, copy or refusal left to say on the results page, in full.
  QString StatusText() const { return m_statusText; }
  // The ticked files and their bytes, as the results page counts them.
  int TickedCount() const { return m_tickedCount; }
  uint64_t TickedSize() const { return m_tickedSize; }
  QXFolderRecord* FolderRecordOf(QTreeWidgetItem* item) const { return m_folderMap.value(item); }
  QTreeWidgetItem* TopItem() const { return m_topItem; }
  // The copy after the folder has been chosen: checks the folder and starts the copy worker.
  // Returns false when the copy was refused (the reason is shown).
  bool StartCopy(const QString& folder);

  static void AddDeepScanFileTypes(IScanParam* param);
  static void InitTableWidget(QTableWidget* table);

 public slots:
  void singalDiskFileProgressHandle(int num);
  void signalDiskFinishHandle();
  void ScanQuickDiskFileNodeHandle(QXQuickScanFileNode* Node);
  void ScanQuickImageFileNodeHandle(QXQuickScanFileNode* Node);
  void ScanQuickVideoFileNodeHandle(QXQuickScanFileNode* Node);
  void ScanQuickAudioFileNodeHandle(QXQuickScanFileNode* Node);
  void ScanQuickDocumentFileNodeHandle(QXQuickScanFileNode* Node);
  void FindPartitionFileNodeHandle(QXDiskFileNode* Node, IDevice* theDevice);
  void DeleteScanAction();
  void DeepScanAction();
  void FormatScanAction();
  void ClickScanDeleteDiskAction();
  void PartitionScanAction();
  void ClickDiskHomeAction();
  void ClickScanStopAction();
  void ClickHomeAction();
  void writeNumber(int num, QString content);
  void ClickAllDiskTabelWidget(QTreeWidgetItem* item, int coloum);
  void ClickDeepDiskTabelWidget(QTreeWidgetItem* item, int coloum);
  void ClickPartitionDiskTabelWidget(QTableWidgetItem* theItem);
  void ClickPartitionTabelWidget(QTableWidgetItem* theItem);
  void ClickPartitionRecoveryAction();
  void ClickPartitionDeepRecoveryAction();
  void TimerUpdate();
  void StructTreeWidgetWithFileNode(QXQuickScanFileNode* Node);
  void ClickChectBoxResultTreeWidget(QTreeWidgetItem* theItem, int colomn);
  void ClickResultTreeWidget(QTreeWidgetItem* theItem, int colomn);
  void CheckTableWidgetCheckBox(QTableWidget* pTableWidget, Qt::CheckState state);
  void slotImageCheckBoxChanged(int index);
  void slotVideoCheckBoxChanged(int index);
  void slotAudioCheckBoxChanged(int index);
  void slotDocumentCheckBoxChanged(int index);
  void slotOtherCheckBoxChanged(int index);
  void ClickContentTabelWidget(QTableWidgetItem* theItem);
  void ClickedContactTabelWidget(QTableWidgetItem* theItem);
  void ClickMessageTabelWidget(QTableWidgetItem* theItem);
  void ClickNoteTabelWidget(QTableWidgetItem* theItem);
  void ClickDoucmentTabelWidget(QTableWidgetItem* theItem);
  void ClickRecoveryAction();
  void signalRecoverFinishHandle();
  void singalRecoverProgressHandle(int num);
  void ContactTableItemChanged(QTableWidgetItem* theItem);
  void ContactTableCurrentChanged(QTableWidgetItem* current, QTableWidgetItem* previous);
  void PreviewFinished();
  void ResultTreeCurrentChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);

 private slots:
  // The device or found partition chosen is the row highlighted, however the highlight moved.
  void DeviceHighlightChanged();
  void FoundHighlightChanged();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FillDeviceList();
  void FillLostPartitionList();
  void SetDescription(const QString& description);
  void ReportProblem(const QString& text);
  void ShowResultsPage();
  void ShowLostPartitionPage();
  void ShowStartPage();
  void AddFoundFile(QList<QXQuickScanFileNode*>& list, QXQuickScanFileNode* node);
  void StopAndDisposeWorker();
  void DisposeWorker();
  void ClearFoundPartitions();
  void ReleaseScanner();
  void Centre(int height);
  QXQuickScanThread* NewWorker();
  void InsertNodeByPath(QTreeWidgetItem* start, QString path, QXQuickScanFileNode* node);
  void EnsureTopItem();
  void SetTreeChecks(QTreeWidgetItem* item, bool checked, int depth);
  void SetNodeChecked(QXFolderRecord* record, QXQuickScanFileNode* node, bool checked);
  Qt::CheckState FolderState(QTreeWidgetItem* item) const;
  void UpdateFolderStates(QTreeWidgetItem* from, bool force);
  void ShowImageBoxState();
  void ShowTickedCount();
  void ClearPreview(bool nonImage);
  void RestoreModeDescription();
  QString CreateFailureText(IDevice* device, int rc) const;
  // The selected device as the results tree's top item names it.
  QString ScannedDeviceName() const;
  // Where Deleted Recovery found no file system it reads: the modes that work there, best first.
  QString UnreadableVolumeText(int rc) const;
  void RefreshShownChecks();
  void ClearResults();
  // Everything the last scan found, and its objects: a new scan starts from an empty page.
  void ForgetFoundFiles();
  // Why a found file has no data, as the scan marked it; empty when it has data.
  QString NoDataReason(const QXQuickScanFileNode* node) const;
  // "1 file" or "N files".
  static QString FileCount(int n);
  // Says over the empty device list that no disk could be opened, and which path failed and why.
  void SayWhyNoDisk();
  // Shown on one line, elided to fit between the buttons, with `folder` whole on a line of its own;
  // `detail` (names of files) is opened in a list with the button beside it.
  void SetStatus(const QString& text, const QString& detail = QString(), const QString& folder = QString());
  void ShowStatusDetails();
  QString NothingTickedText() const;
  // What the end of a scan says, by the engine's answer and the kind of scan that ran.
  void ScanEndText(int rc, QString* text, QString* detail) const;
  // What the end of a lost-partition search says when the engine answered `rc`.
  QString SearchEndText(int rc) const;
  // Why the mode cannot run on `device` (a partition mode on a whole disk, the search on a
  // partition), or an empty text.
  QString ModeRefusal(IDevice* device) const;
  void ClearProblem();
  // Says in red why the chosen mode cannot run on the selected device, when it cannot.
  void SayModeRefusal();
  // A mode card's description as the start page shows it.
  QString DescriptionText(int mode) const;
  void MarkChosenMode();
  void ChooseMode(int mode);
  void ShowSearchControls(bool running, bool anyFound);
  void StartPreview(QXQuickScanFileNode* node);
  void WaitForPreview();
  void StopCopy();
  void ShowDetails(const QList<QXQuickScanFileNode*>& list, QTableWidgetItem* item, QLabel* name, QLabel* size,
                   QLabel* source);

  Ui::SorbeckRecoveryClass ui;
  QXQuickScanThread* m_scanThread = nullptr;
  // The search was left through Home: its end must not refill the page the user left.
  bool m_searchAbandoned = false;
  QList<QXDiskFileNode*> m_deviceNodes;
  QList<QXDiskFileNode*> m_foundNodes;
  QList<QXQuickScanFileNode*> m_imageNodes, m_videoNodes, m_audioNodes, m_documentNodes, m_otherNodes;
  int m_selectedIndex = -1;
  // The selected index is a row of the found-partition list, not a device index.
  bool m_selectionIsFound = false;
  QString m_selectedDriveName;
  // The disk of the selected partition row; empty for a disk row.
  QString m_selectedDiskName;
  // The disk the last lost-partition search read: the disk of every partition it found.
  QString m_searchedDiskName;
  // The top item's text for the scan that runs or ran last.
  QString m_scanRootName;
  int m_fileCount = 0;
  uint64_t m_totalSize = 0;
  QString m_currentLocation;
  IFileManager* m_fileManager = nullptr;
  IScanOperator* m_scanner = nullptr;
  QTimer* m_timer = nullptr;
  int m_mode = Mode_Deep;
  bool m_modeChosen = false;
  // A refusal is shown in red on the start page or the lost-partition page; it goes when mended.
  bool m_problemShown = false;
  // The engine's scan kind of the scan that ran last (the mode changes once it starts).
  int m_scanKind = 0;
  QButtonGroup* m_modeCards = nullptr;
  QPushButton* m_searchStopBtn = nullptr;
  QPushButton* m_detailsBtn = nullptr;
  QString m_statusDetail;
  // What the last scan's end said, shown again once a request on the results page is answered.
  QString m_scanEndStatus;
  // The mode last chosen with a start-page button (the start value until then): Home returns to it.
  int m_startMode = Mode_Deep;
  int m_tickedCount = 0;
  uint64_t m_tickedSize = 0;
  QString m_statusText;

  // Results tree: each folder item that holds files, its record, in the order records were made.
  QMap<QTreeWidgetItem*, QXFolderRecord*> m_folderMap;
  QList<QTreeWidgetItem*> m_folderOrder;
  QTreeWidgetItem* m_topItem = nullptr;
  QTreeWidgetItem* m_shownItem = nullptr;
  QXFolderRecord* m_shownRecord = nullptr;
  bool m_fillingTable = false;
  bool m_stopRequested = false;
  // The device the last scan read; a copy is never written onto it.
  IDevice* m_scannedDevice = nullptr;
  QString m_copyTarget;
  JMRecoverFileThreader* m_copyThread = nullptr;
  PreviewReader* m_preview = nullptr;
  QXQuickScanFileNode* m_pendingPreview = nullptr;
  quint64 m_previewToken = 0;
  // The file whose picture the preview shows or is reading.
  QXQuickScanFileNode* m_previewNode = nullptr;
  QLabel* m_statusLab = nullptr;
  // Over the device list when it is empty: no disk could be opened, and why.
  QLabel* m_noDiskLab = nullptr;
  QString m_noDiskText;
};
