// The main window: start page with the device tree and mode buttons, the results page and the
// lost-partition page, and the start and end of every scan.
#pragma once
#include <QList>
#include <QMainWindow>
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

class SorbeckRecovery : public QMainWindow {
  Q_OBJECT

 public:
  // The window's modes; the first three are also the engine's scan kinds.
  enum {
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
  int SelectedIndex() const { return m_selectedIndex; }
  const QString& SelectedDriveName() const { return m_selectedDriveName; }
  bool ScanRunning() const { return m_scanThread != nullptr; }
  IScanOperator* Scanner() const { return m_scanner; }
  Ui::SorbeckRecoveryClass& Form() { return ui; }

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

 protected:
  void closeEvent(QCloseEvent* event) override;

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
  void Centre(int height);
  QXQuickScanThread* NewWorker();

  Ui::SorbeckRecoveryClass ui;
  QXQuickScanThread* m_scanThread = nullptr;
  // The search was left through Home: its end must not refill the page the user left.
  bool m_searchAbandoned = false;
  QList<QXDiskFileNode*> m_deviceNodes;
  QList<QXDiskFileNode*> m_foundNodes;
  QList<QXQuickScanFileNode*> m_imageNodes, m_videoNodes, m_audioNodes, m_documentNodes, m_otherNodes;
  int m_selectedIndex = -1;
  QString m_selectedDriveName;
  int m_fileCount = 0;
  uint64_t m_totalSize = 0;
  QString m_currentLocation;
  IFileManager* m_fileManager = nullptr;
  IScanOperator* m_scanner = nullptr;
  QTimer* m_timer = nullptr;
  int m_mode = Mode_Deep;
};
