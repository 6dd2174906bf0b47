#include "frontend/sorbeckrecovery.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopWidget>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QIcon>
#include <QLabel>
#include <QRadioButton>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "common/inc/idevice.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/iscanoperator.h"
#include "frontend/formatsize.h"
#include "frontend/globals.h"
#include "frontend/previewthread.h"
#include "frontend/quickscanthread.h"
#include "frontend/recoverthread.h"

namespace {

const char* const kDescriptionDeleted =
    "Recover deleted files from the partition, even emptied from Trash Bin, Shift + Del, etc.";
const char* const kDescriptionDeep =
    "Use Deep Recovery option when you cannot find lost files with Deleted Recovery and Volume Recovery, but "
    "the recovered files have no original names and folder structure.";
const char* const kDescriptionVolume = "Recover your lost data from the normal and formatted volumes.";
const char* const kDescriptionLost =
    "Scan your hard drive or other storage device for the deleted, lost, resized or corrupted volumes first "
    "and then recover lost files.";
const char* const kLostSizeNote =
    "It finds volumes of 200 MB or more; for a smaller stick or memory card, use Deep Recovery.";

// Where the text of a left-aligned label begins, in its parent's coordinates.
int TextLeft(const QLabel* label) {
  return label->x() + label->contentsRect().left() + label->margin() + qMax(0, label->indent());
}

// A left margin inside `after` so that its text begins a space's width right of where the text
// of `before` (left-aligned, one line, same parent) ends; the labels keep their places. (An
// indent would move a top-aligned text down as well.)
void BeginAfter(const QLabel* before, QLabel* after) {
  const QFontMetrics fm = before->fontMetrics();
  const int end =
      TextLeft(before) + fm.horizontalAdvance(before->text()) + fm.horizontalAdvance(QLatin1Char(' '));
  after->setContentsMargins(0, 0, 0, 0);
  after->setContentsMargins(qMax(0, end - TextLeft(after)), 0, 0, 0);
}

}  // namespace

SorbeckRecovery::SorbeckRecovery(IRecoveryManagement* engine, QWidget* parent) : QMainWindow(parent) {
  Q_INIT_RESOURCE(velmora_skin);
  qRegisterMetaType<QXQuickScanFileNode*>("QXQuickScanFileNode*");
  qRegisterMetaType<QXDiskFileNode*>("QXDiskFileNode*");
  qRegisterMetaType<IDevice*>("IDevice*");
  ui.setupUi(this);

  std::memset(g_Devices, 0, sizeof(g_Devices));
  g_FoundPartitions.clear();
  g_RecoveryManagement = engine;
  if (!g_RecoveryManagement && InitKestrum(&g_RecoveryManagement) != 0) {
    g_RecoveryManagement = nullptr;
    std::printf(" Load Dll Export funcation Failed.\n");
  }
  if (g_RecoveryManagement) {
    int count = 0;
    if (g_RecoveryManagement->EnumDevices(g_Devices, &count, kDeviceCapacity) != 0)
      std::printf("Enumdevice failed.\n");
    // Whatever the engine did, the list ends at the last slot.
    g_Devices[kDeviceCapacity - 1] = nullptr;
  }
  std::fflush(stdout);

  connect(ui.DeepScanButton, SIGNAL(clicked()), this, SLOT(DeepScanAction()));
  connect(ui.DeleteScanButton, SIGNAL(clicked()), this, SLOT(DeleteScanAction()));
  connect(ui.LostVolumesButton, SIGNAL(clicked()), this, SLOT(PartitionScanAction()));
  connect(ui.PartitionScanButton, SIGNAL(clicked()), this, SLOT(FormatScanAction()));
  connect(ui.HomeButton, SIGNAL(clicked()), this, SLOT(ClickHomeAction()));
  connect(ui.diskHomeButton, SIGNAL(clicked()), this, SLOT(ClickDiskHomeAction()));
  connect(ui.scanStopBtn, SIGNAL(clicked()), this, SLOT(ClickScanStopAction()));
  connect(ui.scanDelDiskBtn, SIGNAL(clicked()), this, SLOT(ClickScanDeleteDiskAction()));
  connect(ui.scanTheDiskBtn, SIGNAL(clicked()), this, SLOT(ClickScanDeleteDiskAction()));
  for (QTableWidget* t : {ui.ContentTableWidget, ui.contantTableWidget, ui.caldTableWidget, ui.callTableWidget,
                          ui.noteTableWidget, ui.messageTableWidget, ui.MMSTableWidget, ui.driveTableWidget,
                          ui.lostpartitionTableWidget})
    InitTableWidget(t);
  connect(ui.resultTreeWidget, SIGNAL(itemChanged(QTreeWidgetItem*, int)), this,
          SLOT(ClickChectBoxResultTreeWidget(QTreeWidgetItem*, int)));
  connect(ui.resultTreeWidget, SIGNAL(itemClicked(QTreeWidgetItem*, int)), this,
          SLOT(ClickResultTreeWidget(QTreeWidgetItem*, int)));
  connect(ui.ContentTableWidget, SIGNAL(itemClicked(QTableWidgetItem*)), this,
          SLOT(ClickContentTabelWidget(QTableWidgetItem*)));
  connect(ui.contantTableWidget, SIGNAL(itemClicked(QTableWidgetItem*)), this,
          SLOT(ClickedContactTabelWidget(QTableWidgetItem*)));
  connect(ui.contantTableWidget, SIGNAL(itemChanged(QTableWidgetItem*)), this,
          SLOT(ContactTableItemChanged(QTableWidgetItem*)));
  connect(ui.contantTableWidget, SIGNAL(currentItemChanged(QTableWidgetItem*, QTableWidgetItem*)), this,
          SLOT(ContactTableCurrentChanged(QTableWidgetItem*, QTableWidgetItem*)));
  connect(ui.messageTableWidget, SIGNAL(itemClicked(QTableWidgetItem*)), this,
          SLOT(ClickMessageTabelWidget(QTableWidgetItem*)));
  connect(ui.noteTableWidget, SIGNAL(itemClicked(QTableWidgetItem*)), this,
          SLOT(ClickNoteTabelWidget(QTableWidgetItem*)));
  connect(ui.caldTableWidget, SIGNAL(itemClicked(QTableWidgetItem*)), this,
          SLOT(ClickDoucmentTabelWidget(QTableWidgetItem*)));
  connect(ui.diskTreeWidget, SIGNAL(itemClicked(QTreeWidgetItem*, int)), this,
          SLOT(ClickDeepDiskTabelWidget(QTreeWidgetItem*, int)));
  connect(ui.allDiskTreeWidget, SIGNAL(itemClicked(QTreeWidgetItem*, int)), this,
          SLOT(ClickAllDiskTabelWidget(QTreeWidgetItem*, int)));
  connect(ui.driveTableWidget, SIGNAL(itemClicked(QTableWidgetItem*)), this,
          SLOT(ClickPartitionDiskTabelWidget(QTableWidgetItem*)));
  connect(ui.lostpartitionTableWidget, SIGNAL(itemClicked(QTableWidgetItem*)), this,
          SLOT(ClickPartitionTabelWidget(QTableWidgetItem*)));
  connect(ui.partrecoveryButton, SIGNAL(clicked()), this, SLOT(ClickPartitionRecoveryAction()));
  connect(ui.deeprecoveryButton, SIGNAL(clicked()), this, SLOT(ClickPartitionDeepRecoveryAction()));
  connect(ui.checkBox_Image, SIGNAL(stateChanged(int)), this, SLOT(slotImageCheckBoxChanged(int)));
  connect(ui.checkBox_Video, SIGNAL(stateChanged(int)), this, SLOT(slotVideoCheckBoxChanged(int)));
  connect(ui.checkBox_Audio, SIGNAL(stateChanged(int)), this, SLOT(slotAudioCheckBoxChanged(int)));
  connect(ui.checkBox_Document, SIGNAL(stateChanged(int)), this, SLOT(slotDocumentCheckBoxChanged(int)));
  connect(ui.checkBox_Other, SIGNAL(stateChanged(int)), this, SLOT(slotOtherCheckBoxChanged(int)));
  connect(ui.recoveryBtn, SIGNAL(clicked()), this, SLOT(ClickRecoveryAction()));
  m_timer = new QTimer(this);
  connect(m_timer, SIGNAL(timeout()), this, SLOT(TimerUpdate()));

  setFixedSize(1112, 648);
  setWindowTitle(QStringLiteral("Velmora"));
  setWindowIcon(QIcon(QStringLiteral(":/SorbeckRecovery/Skin/smallog.png")));

  const QRect page = ui.Welcomeframe->geometry();
  for (QFrame* f : {ui.Resultframe, ui.disklistFrame}) {
    f->hide();
    f->setFixedSize(1112, 648);
    f->setGeometry(page);
  }
  ui.ContactFrame->setFixedSize(861, 271);
  ui.ContactFrame->setGeometry(241, 261, 871, 271);
  for (QFrame* f : {ui.ContentStoreFrame, ui.MessageFrame, ui.NoteFrame, ui.callFrame, ui.CaldFrame}) {
    f->setFixedSize(850, 471);
    f->setGeometry(0, 80, 850, 471);
  }
  ui.MMSFrame->setFixedSize(850, 435);
  ui.MMSFrame->setGeometry(0, 80, 850, 471);
  for (QFrame* f : {ui.DeeplistFrame, ui.DisklistFrame}) {
    f->setFixedSize(850, 471);
    f->setGeometry(0, 80, 850, 471);
  }
  for (QFrame* f : {ui.ContactFrame, ui.ContentStoreFrame, ui.MessageFrame, ui.NoteFrame, ui.callFrame,
                    ui.CaldFrame, ui.MMSFrame, ui.DeeplistFrame, ui.DisklistFrame, ui.ScanFrame})
    f->hide();

  ui.resultTreeWidget->setColumnCount(1);
  ui.resultTreeWidget->setColumnWidth(0, 200);
  ui.resultTreeWidget->setHeaderHidden(true);
  ui.resultTreeWidget->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  ui.resultTreeWidget->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  ui.resultTreeWidget->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  ui.resultTreeWidget->header()->setStretchLastSection(false);

  ui.Tiplab->setAttribute(Qt::WA_TranslucentBackground);
  // The mode descriptions are longer than the form's one line: they wrap over the free width instead
  // of being cut off mid-word.
  ui.Tiplab->setWordWrap(true);
  ui.Tiplab->setGeometry(ui.Tiplab->x(), ui.Tiplab->y() - 12, ui.Welcomeframe->width() - 2 * ui.Tiplab->x(), 44);
  // The form's radio buttons are narrower than their captions.
  for (QRadioButton* r : {ui.partrecoveryButton, ui.deeprecoveryButton})
    r->resize(qMax(r->width(), r->sizeHint().width()), qMax(r->height(), r->sizeHint().height()));
  // The pages' bottom buttons lie below the bottom edge that the empty status bar leaves them,
  // and nothing is ever shown in it.
  ui.statusBar->hide();
  // The form's lost-partition table ran past the window's right edge.
  ui.lostpartitionTableWidget->setGeometry(30, 133, 1112 - 2 * 30, 261);
  // Image buttons look the same enabled or not; a disabled one is dimmed so that it does not
  // look clickable during a scan or a copy.
  for (QPushButton* b : {ui.HomeButton, ui.recoveryBtn, ui.scanTheDiskBtn, ui.scanDelDiskBtn, ui.diskHomeButton})
    b->installEventFilter(this);
  // A chosen card keeps the look it has under the mouse until another one is chosen.
  m_modeCards = new QButtonGroup(this);
  const struct {
    QPushButton* card;
    const char* marked;
  } cards[] = {{ui.DeleteScanButton, "deletedrecoverydown.png"},
               {ui.DeepScanButton, "deeprecoverydown.png"},
               {ui.PartitionScanButton, "volumerecoverydown.png"},
               {ui.LostVolumesButton, "lostvolumerecoverydown.png"}};
  for (const auto& c : cards) {
    c.card->setCheckable(true);
    c.card->setStyleSheet(c.card->styleSheet() +
                          QStringLiteral("\nQPushButton:checked{background-image: url(:/SorbeckRecovery/Skin/%1);}")
                              .arg(QLatin1String(c.marked)));
    m_modeCards->addButton(c.card);
  }
  // The search is stopped as a scan is, with the same button beside its progress.
  m_searchStopBtn = new QPushButton(ui.disklistFrame);
  m_searchStopBtn->setObjectName(QStringLiteral("searchStopBtn"));
  m_searchStopBtn->setGeometry(925, 99, 49, 20);
  m_searchStopBtn->setStyleSheet(QStringLiteral("border-image: url(:/SorbeckRecovery/Skin/stopbutton.png);"));
  m_searchStopBtn->setToolTip(tr("Stop the search"));
  m_searchStopBtn->hide();
  connect(m_searchStopBtn, SIGNAL(clicked()), this, SLOT(ClickScanStopAction()));
  ui.ContactImagelab->setAttribute(Qt::WA_TranslucentBackground);
  ui.allfilebotlab->hide();
  ui.allfilecountbotlab->hide();
  ui.allfileSizebotlab->hide();
  // "files in" runs past the left edge of the size beside it ("8 files in1.00 MB"), under the
  // table and on the scan page: the size begins a space after it.
  BeginAfter(ui.allfilebotlab, ui.allfileSizebotlab);
  BeginAfter(ui.OtherFileNamelab_5, ui.allfileSizelab);

  // Outcome of a scan or copy, and refusals, between the Home and copy buttons.
  m_statusLab = new QLabel(ui.Resultframe);
  m_statusLab->setObjectName(QStringLiteral("resultStatuslab"));
  // Two lines: what happened, and the folder the files went to, whole or shortened in its middle.
  m_statusLab->setGeometry(150, 592, 690, 44);
  m_statusLab->setTextFormat(Qt::PlainText);
  m_statusLab->setWordWrap(true);
  m_statusLab->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_statusLab->setAttribute(Qt::WA_TranslucentBackground);
  m_statusLab->hide();
  // The names of renamed or failed files, in a list of their own.
  m_detailsBtn = new QPushButton(tr("Details..."), ui.Resultframe);
  m_detailsBtn->setObjectName(QStringLiteral("statusDetailsBtn"));
  m_detailsBtn->setGeometry(846, 584, 86, 25);
  m_detailsBtn->hide();
  connect(m_detailsBtn, &QPushButton::clicked, this, &SorbeckRecovery::ShowStatusDetails);
  // The file table follows the tree's highlight however it moves, with the keys too, so that
  // Space ticks or unticks the folder whose files are in view.
  connect(ui.resultTreeWidget, SIGNAL(currentItemChanged(QTreeWidgetItem*, QTreeWidgetItem*)), this,
          SLOT(ResultTreeCurrentChanged(QTreeWidgetItem*, QTreeWidgetItem*)));
  // The form's file table is 10 px wider than its frame, which cut its scroll bar off to a sliver.
  ui.contantTableWidget->setGeometry(0, 0, ui.ContactFrame->width(), ui.ContactFrame->height());
  // Long names of one pattern differ at their ends ("..._number_17.txt"): shortened in the middle
  // they can still be told apart, and a column widened by hand can be scrolled to.
  ui.contantTableWidget->setTextElideMode(Qt::ElideMiddle);
  // One line per cell: wrapped at a hyphen or a blank, a name would be cut after its first word.
  ui.contantTableWidget->setWordWrap(false);
  ui.contantTableWidget->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  ui.contantTableWidget->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  // With the form's transparent sheet alone the box draws its tick and its partial mark but no box,
  // so an unticked folder shows nothing where the box is.
  ui.checkBox_Image->setStyleSheet(QString());
  ui.LostVolumesButton->setToolTip(tr(kLostSizeNote));
  // The keys move the highlight; the device scanned is the one highlighted.
  connect(ui.allDiskTreeWidget, SIGNAL(itemSelectionChanged()), this, SLOT(DeviceHighlightChanged()));
  connect(ui.lostpartitionTableWidget, SIGNAL(itemSelectionChanged()), this, SLOT(FoundHighlightChanged()));

  // An empty device list says why it is empty, where the disks would be.
  m_noDiskLab = new QLabel(ui.allDiskTreeWidget->viewport());
  m_noDiskLab->setObjectName(QStringLiteral("noDiskLab"));
  m_noDiskLab->setTextFormat(Qt::PlainText);
  m_noDiskLab->setWordWrap(true);
  m_noDiskLab->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_noDiskLab->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_noDiskLab->setGeometry(20, 16, ui.allDiskTreeWidget->width() - 60, ui.allDiskTreeWidget->height() - 60);
  m_noDiskLab->setStyleSheet(QStringLiteral("QLabel#noDiskLab{color:#C0392B;}"));
  m_noDiskLab->hide();

  FillDeviceList();
  if (!g_RecoveryManagement) ReportProblem(tr("The recovery engine could not be loaded; nothing can be scanned."));
  else SayWhyNoDisk();
}

void SorbeckRecovery::SayWhyNoDisk() {
  if (ui.allDiskTreeWidget->topLevelItemCount() > 0) return;
  // The engine reads the disks KESTRUM_DISKS names when it is set; a path it could not read is
  // said on stderr too, but a person looks at the window.
  QStringList failed;
  const QString listed = QString::fromLocal8Bit(qgetenv("KESTRUM_DISKS"));
  for (const QString& path : listed.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) failed << tr("%1: %2").arg(path, f.errorString());
  }
  QString text = tr("No disk could be opened, so there is nothing to scan.");
  if (!failed.isEmpty())
    text += QLatin1Char('\n') + failed.join(QLatin1Char('\n'));
  else if (listed.isEmpty())
    text += QLatin1Char(' ') + tr("Reading a disk needs the rights to read the device itself: start Velmora "
                                  "as an administrator (root).");
  m_noDiskText = text;
  m_noDiskLab->setText(text);
  m_noDiskLab->show();
}

SorbeckRecovery::~SorbeckRecovery() {
  StopCopy();
  WaitForPreview();
  StopAndDisposeWorker();
  ClearResults();
  qDeleteAll(m_deviceNodes);
  for (auto* list : {&m_imageNodes, &m_videoNodes, &m_audioNodes, &m_documentNodes, &m_otherNodes})
    qDeleteAll(*list);
  // The scanner may read through a found partition: it goes first.
  ReleaseScanner();
  m_mode = Mode_Deep;
  ClearFoundPartitions();
}

void SorbeckRecovery::closeEvent(QCloseEvent* event) {
  // The engine calls must not outlive the window: they read through objects the program tears down.
  // A copy is stopped between chunks; its unfinished file is removed.
  StopCopy();
  WaitForPreview();
  StopAndDisposeWorker();
  QMainWindow::closeEvent(event);
}

bool SorbeckRecovery::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::EnabledChange) {
    if (QWidget* w = qobject_cast<QWidget*>(watched)) {
      if (w->isEnabled()) {
        w->setGraphicsEffect(nullptr);
      } else {
        auto* dim = new QGraphicsOpacityEffect(w);
        dim->setOpacity(0.35);
        w->setGraphicsEffect(dim);
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void SorbeckRecovery::InitTableWidget(QTableWidget* table) {
  table->setFrameShape(QFrame::NoFrame);
  table->setFrameShadow(QFrame::Sunken);
  table->setDragDropMode(QAbstractItemView::NoDragDrop);
  table->setDragEnabled(false);
  table->setSortingEnabled(true);
  table->setShowGrid(true);
  table->setTextElideMode(Qt::ElideRight);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionMode(QAbstractItemView::ExtendedSelection);
  QHeaderView* h = table->horizontalHeader();
  h->setStretchLastSection(true);
  h->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  h->setMinimumSectionSize(100);
  h->setSortIndicatorShown(false);
  h->setFixedHeight(22);
  table->verticalHeader()->hide();
  table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void SorbeckRecovery::SetDescription(const QString& description) {
  ui.Tiplab->setText(QStringLiteral("<font color = \"#D99411\">") + description + QStringLiteral("</font>"));
}

void SorbeckRecovery::ReportProblem(const QString& text) {
  const QString shown = QStringLiteral("<font color = \"#C0392B\">") + text.toHtmlEscaped() + QStringLiteral("</font>");
  if (ui.disklistFrame->isVisibleTo(this)) {
    ui.scanningstatelab->setText(shown);
    ui.scanningstatelab->setGeometry(30, 80, 881, 20);
    ui.scanningstatelab->show();
    m_problemShown = true;
  } else if (ui.Resultframe->isVisibleTo(this)) {
    SetStatus(text);
  } else {
    ui.Tiplab->setText(shown);
    m_problemShown = true;
  }
}

void SorbeckRecovery::ClearProblem() {
  if (!m_problemShown) return;
  m_problemShown = false;
  if (ui.disklistFrame->isVisibleTo(this))
    ui.scanningstatelab->hide();
  else
    RestoreModeDescription();
}

void SorbeckRecovery::ChooseMode(int mode) {
  m_problemShown = false;
  SetDescription(DescriptionText(mode));
  m_mode = m_startMode = mode;
  m_modeChosen = true;
  MarkChosenMode();
  // Chosen for a device it cannot run on: said now, not only once Start Scan is clicked.
  SayModeRefusal();
}

void SorbeckRecovery::SayModeRefusal() {
  if (!m_modeChosen || m_selectionIsFound || m_selectedIndex < 0 || m_selectedIndex >= kDeviceCapacity)
    return;
  const QString refusal = ModeRefusal(g_Devices[m_selectedIndex]);
  if (!refusal.isEmpty()) ReportProblem(refusal);
}

QString SorbeckRecovery::DescriptionText(int mode) const {
  QString text = tr(mode == Mode_Deleted          ? kDescriptionDeleted
                    : mode == Mode_Volume         ? kDescriptionVolume
                    : mode == Mode_LostPartitions ? kDescriptionLost
                                                  : kDescriptionDeep);
  // The search keeps to volumes of 409600 sectors and more; a person with a small stick or card
  // must learn that before waiting for a search that cannot find it.
  if (mode == Mode_LostPartitions) text += QLatin1Char(' ') + tr(kLostSizeNote);
  return text;
}

void SorbeckRecovery::MarkChosenMode() {
  QAbstractButton* card = nullptr;
  if (m_modeChosen) {
    switch (m_startMode) {
      case Mode_Deleted: card = ui.DeleteScanButton; break;
      case Mode_Volume: card = ui.PartitionScanButton; break;
      case Mode_LostPartitions: card = ui.LostVolumesButton; break;
      default: card = ui.DeepScanButton; break;
    }
  }
  if (card) {
    card->setChecked(true);
    return;
  }
  // An exclusive group keeps one card checked; none is until a mode is chosen.
  m_modeCards->setExclusive(false);
  for (QAbstractButton* b : m_modeCards->buttons()) b->setChecked(false);
  m_modeCards->setExclusive(true);
}

void SorbeckRecovery::DeleteScanAction() { ChooseMode(Mode_Deleted); }

void SorbeckRecovery::DeepScanAction() { ChooseMode(Mode_Deep); }

void SorbeckRecovery::FormatScanAction() { ChooseMode(Mode_Volume); }

void SorbeckRecovery::PartitionScanAction() { ChooseMode(Mode_LostPartitions); }

void SorbeckRecovery::RestoreModeDescription() {
  if (!m_modeChosen) {
    ui.Tiplab->clear();
    return;
  }
  SetDescription(DescriptionText(m_mode));
}

QString SorbeckRecovery::ModeRefusal(IDevice* device) const {
  if (!device) return QString();
  const int type = device->GetType();
  const bool disk = type == DT_FIXED_DISK || type == DT_OTHER_DISK;
  // The engine would read the disk's first partition alone and name its files after the disk.
  if (disk && (m_mode == Mode_Deleted || m_mode == Mode_Volume)) {
    const QString mode = m_mode == Mode_Deleted ? tr("Deleted Recovery") : tr("Volume Recovery");
    return tr("%1 reads one partition, and a whole disk is selected. Please choose one of the disk's "
              "partitions in the list above, or use Deep Recovery or Lost Partitions for the whole disk.")
        .arg(mode);
  }
  if (!disk && m_mode == Mode_LostPartitions)
    return tr("Lost Partitions searches a whole disk, and a partition is selected. Please choose the disk "
              "in the list above, or another kind of recovery for the partition.");
  return QString();
}

QString SorbeckRecovery::UnreadableVolumeText(int rc) const {
  // Said alike for a volume whose boot record is gone and for an intact one Deleted Recovery does
  // not read (HFS+ placed by an Apple partition map): the window cannot tell them apart.
  return tr("Deleted Recovery does not read this volume (engine code %1). Use Volume Recovery first: it "
            "finds volumes by their own structures. Then Deep Recovery.")
      .arg(rc);
}

QString SorbeckRecovery::ScannedDeviceName() const {
  // A partition's own name alone ("Partition1") is the same on every disk: the disk is named too.
  if (m_selectionIsFound) {
    const QXDiskFileNode* node = m_selectedIndex >= 0 && m_selectedIndex < m_foundNodes.size()
                                     ? m_foundNodes[m_selectedIndex]
                                     : nullptr;
    const QString name = node ? node->m_name : m_selectedDriveName;
    return m_searchedDiskName.isEmpty() ? name : tr("%1 found on %2").arg(name, m_searchedDiskName);
  }
  if (m_selectedDiskName.isEmpty()) return m_selectedDriveName;
  return tr("%1 on %2").arg(m_selectedDriveName, m_selectedDiskName);
}

QString SorbeckRecovery::CreateFailureText(IDevice* device, int rc) const {
  const QString refusal = ModeRefusal(device);
  if (!refusal.isEmpty()) return refusal;
  if (rc == RC_DEVICE_ABSENT)
    return tr("The selected device could not be opened; it may have been removed (engine code %1).").arg(rc);
  // Deleted Recovery needs an intact file system; Volume Recovery is what rebuilds one that is
  // damaged or formatted, and it is the one that keeps names and folders.
  if (m_mode == Mode_Deleted) return UnreadableVolumeText(rc);
  if (m_mode == Mode_Volume || m_mode == Mode_FoundVolume)
    return tr("No file system that this recovery reads was found on the selected partition (engine code %1). "
              "Deep Recovery can still find files on it by their contents.")
        .arg(rc);
  return tr("This recovery cannot run on the selected device (engine code %1).").arg(rc);
}

void SorbeckRecovery::Centre(int height) {
  const QRect desk = QApplication::desktop()->geometry();
  move((desk.width() - width()) / 2, (desk.height() - height) / 2);
}

void SorbeckRecovery::ShowResultsPage() {
  m_problemShown = false;
  ui.Welcomeframe->hide();
  ui.Resultframe->show();
  ui.disklistFrame->hide();
  ui.allDiskTreeWidget->hide();
  ui.ScanFrame->show();
  ui.ContactFrame->show();
  ui.progressBar->setValue(0);
}

void SorbeckRecovery::ShowLostPartitionPage() {
  m_problemShown = false;
  Centre(620);
  for (QWidget* w : {static_cast<QWidget*>(ui.Welcomeframe), static_cast<QWidget*>(ui.Resultframe),
                     static_cast<QWidget*>(ui.allDiskTreeWidget), static_cast<QWidget*>(ui.DeeplistFrame),
                     static_cast<QWidget*>(ui.DisklistFrame), static_cast<QWidget*>(ui.driveselectpartlab)})
    w->hide();
  ui.disklistFrame->show();
  ui.scanningstatelab->setText(QCoreApplication::translate("SorbeckRecoveryClass", "Scanning...please wait"));
  ui.scanningstatelab->setGeometry(30, 80, 221, 20);
  ui.scanningstatelab->show();
  ui.partprogressBar->show();
  ui.partprogressBar->setValue(0);
  // The last search's partitions are gone from the list; their rows must not stand beside the new search.
  ui.lostpartitionTableWidget->clearContents();
  ui.lostpartitionTableWidget->setRowCount(0);
}

QXQuickScanThread* SorbeckRecovery::NewWorker() {
  m_scanThread = new QXQuickScanThread;
  return m_scanThread;
}

void SorbeckRecovery::ClickScanDeleteDiskAction() {
  // One engine call at a time: the engine keeps process-wide scan state.
  if (m_scanThread) {
    ReportProblem(tr("A scan is still running; wait for it to end."));
    return;
  }
  if (m_copyThread) {
    SetStatus(tr("Files are being copied; a scan can start when the copy has ended."));
    return;
  }
  WaitForPreview();
  if (!g_RecoveryManagement) {
    ReportProblem(tr("The recovery engine could not be loaded; nothing can be scanned."));
    return;
  }
  IDevice* device = nullptr;
  int kind = 0;
  switch (m_mode) {
    case Mode_Deleted:
    case Mode_Volume:
    case Mode_Deep:
    case Mode_LostPartitions:
      // With no disk listed, the list says why; choosing a row cannot be the way on.
      if (m_deviceNodes.isEmpty()) {
        ReportProblem(tr("No disk could be opened, so there is nothing to scan: the list above says why."));
        return;
      }
      // No kind of scan is run that the person did not choose.
      if (!m_modeChosen) {
        ReportProblem(tr("Please choose a kind of recovery first: click one of the cards above."));
        return;
      }
      if (m_selectedIndex >= 0 && m_selectedIndex < kDeviceCapacity && !m_selectionIsFound)
        device = g_Devices[m_selectedIndex];
      kind = m_mode == Mode_LostPartitions ? Mode_Deep : m_mode;
      break;
    case Mode_FoundVolume:
    case Mode_FoundDeep:
      // Only a row picked in the found list: the index left from the start page is a device index.
      if (m_selectionIsFound && m_selectedIndex >= 0 &&
          static_cast<size_t>(m_selectedIndex) < g_FoundPartitions.size())
        device = g_FoundPartitions[m_selectedIndex];
      kind = m_mode == Mode_FoundVolume ? Mode_Volume : Mode_Deep;
      break;
    default:
      return;
  }
  if (!device) {
    const bool found = m_mode == Mode_FoundVolume || m_mode == Mode_FoundDeep;
    // With nothing found, the page's answer that nothing was found stays what it says.
    if (found && m_foundNodes.isEmpty()) return;
    ReportProblem(found ? tr("Please select a found partition to scan first.")
                        : tr("Please select a device to scan first."));
    return;
  }
  {
    const QString refusal = ModeRefusal(device);
    if (!refusal.isEmpty()) {
      ReportProblem(refusal);
      return;
    }
  }

  if (m_mode == Mode_Deleted) writeNumber(m_selectedIndex, QStringLiteral("scan before"));
  IFileManager* manager = nullptr;
  IScanOperator* scanner = nullptr;
  int rc = g_RecoveryManagement->CreateScanOperator(device, kind, &manager, &scanner);
  // A success without a scanner is a failure all the same: nothing could be scanned with it.
  if (rc == 0 && !scanner) {
    if (manager) manager->Release();
    rc = RC_FAIL;
  }
  if (rc != 0) {
    scanner = nullptr;
    if (m_mode == Mode_Deleted) writeNumber(1, QStringLiteral("false"));
    // The partition search itself needs no scanner; every other mode cannot go on.
    if (m_mode != Mode_LostPartitions) {
      ReportProblem(CreateFailureText(device, rc));
      return;
    }
  }
  // The last scan's objects hold every file it found: its results go first, then they do.
  ForgetFoundFiles();
  if (m_mode == Mode_LostPartitions && scanner) {
    // The search reads the disk itself; the scanner made for it is never used.
    scanner->Release();
    if (manager) manager->Release();
    scanner = nullptr;
    manager = nullptr;
  }
  m_scanner = scanner;
  m_fileManager = scanner ? manager : nullptr;
  m_scannedDevice = device;
  m_scanKind = kind;
  m_scanRootName = ScannedDeviceName();
  if (m_mode == Mode_LostPartitions) m_searchedDiskName = m_selectedDriveName;
  m_stopRequested = false;

  QXQuickScanThread* worker = NewWorker();
  if (m_mode == Mode_LostPartitions) {
    ShowLostPartitionPage();
    ClearFoundPartitions();
    m_searchAbandoned = false;
    connect(worker, SIGNAL(FindPartitionFileNode(QXDiskFileNode*, IDevice*)), this,
            SLOT(FindPartitionFileNodeHandle(QXDiskFileNode*, IDevice*)));
    connect(worker, SIGNAL(singalDiskProgress(int)), this, SLOT(singalDiskFileProgressHandle(int)));
    connect(worker, SIGNAL(signalDiskFinish()), this, SLOT(signalDiskFinishHandle()));
    ShowSearchControls(true, false);
    worker->SetScanTarget(scanner, device);
    worker->SetPartitionMode(true);
    worker->SetRecoveryManagement(g_RecoveryManagement);
    worker->start(QThread::InheritPriority);
  } else {
    ShowResultsPage();
    // The counters start from nothing, not from the last scan's figures.
    TimerUpdate();
    connect(worker, SIGNAL(singalDiskProgress(int)), this, SLOT(singalDiskFileProgressHandle(int)));
    connect(worker, SIGNAL(ScanQuickOtherFileNode(QXQuickScanFileNode*)), this,
            SLOT(ScanQuickDiskFileNodeHandle(QXQuickScanFileNode*)));
    connect(worker, SIGNAL(ScanQuickImageFileNode(QXQuickScanFileNode*)), this,
            SLOT(ScanQuickImageFileNodeHandle(QXQuickScanFileNode*)));
    connect(worker, SIGNAL(ScanQuickVideoFileNode(QXQuickScanFileNode*)), this,
            SLOT(ScanQuickVideoFileNodeHandle(QXQuickScanFileNode*)));
    connect(worker, SIGNAL(ScanQuickAudioFileNode(QXQuickScanFileNode*)), this,
            SLOT(ScanQuickAudioFileNodeHandle(QXQuickScanFileNode*)));
    connect(worker, SIGNAL(ScanQuickDocumentFileNode(QXQuickScanFileNode*)), this,
            SLOT(ScanQuickDocumentFileNodeHandle(QXQuickScanFileNode*)));
    connect(worker, SIGNAL(signalDiskFinish()), this, SLOT(signalDiskFinishHandle()));
    worker->SetScanTarget(scanner, device);
    worker->SetPartitionMode(false);
    const bool deep = kind == Mode_Deep;
    worker->SetDeep(deep ? 1 : 0);
    if (deep) {
      IScanParam* param = nullptr;
      if (scanner->GetScanParam(&param) == 0 && param) {
        AddDeepScanFileTypes(param);
        param->SetScanMode(1);
      }
    }
    // Volume scans list their results by path, as deleted-file scans do.
    if (m_mode == Mode_Volume || m_mode == Mode_FoundVolume) m_mode = Mode_Deleted;
    if (m_mode == Mode_FoundDeep) m_mode = Mode_Deep;
    worker->start(QThread::InheritPriority);
    if (m_mode == Mode_Deleted && kind == Mode_Deleted)
      writeNumber(m_selectedIndex, QStringLiteral("scan after"));
    m_timer->start(1000);
  }
  ui.HomeButton->setEnabled(false);
  ui.recoveryBtn->setEnabled(false);
}

void SorbeckRecovery::singalDiskFileProgressHandle(int num) {
  if (m_scanThread && m_scanThread->IsPartitionMode())
    ui.partprogressBar->setValue(num);
  else
    ui.progressBar->setValue(num);
}

void SorbeckRecovery::signalDiskFinishHandle() {
  if (!m_scanThread || sender() != m_scanThread) return;
  // Decided by the worker, not the mode: Home may have reset the mode while a search ran.
  if (m_scanThread->IsPartitionMode()) {
    const int rc = m_scanThread->Result();
    DisposeWorker();
    if (m_searchAbandoned) {
      m_searchAbandoned = false;
      ui.scanDelDiskBtn->setEnabled(true);
      ClearFoundPartitions();
      return;
    }
    FillLostPartitionList();
    m_mode = Mode_FoundVolume;
    ui.partrecoveryButton->setChecked(true);
    ui.deeprecoveryButton->setChecked(false);
    ui.driveselectpartlab->show();
    ui.scanningstatelab->hide();
    ui.partprogressBar->setValue(0);
    ui.partprogressBar->hide();
    m_problemShown = false;
    // Options and Start Scan only where there is a partition to scan.
    ShowSearchControls(false, !m_foundNodes.isEmpty());
    const QString said = SearchEndText(rc);
    if (rc != 0 && !m_stopRequested && rc != RC_CANCELLED) {
      ReportProblem(said);
    } else if (!said.isEmpty()) {
      ui.scanningstatelab->setText(said);
      ui.scanningstatelab->setGeometry(30, 80, 881, 20);
      ui.scanningstatelab->show();
    }
    return;
  }
  if (m_timer->isActive()) m_timer->stop();
  {
    QString text, detail;
    ScanEndText(m_scanThread->Result(), &text, &detail);
    SetStatus(text, detail);
    m_scanEndStatus = text;
  }
  TimerUpdate();
  ui.HomeButton->setEnabled(true);
  ui.recoveryBtn->setEnabled(true);
  ui.progressBar->setValue(0);
  ui.ScanFrame->hide();
  ui.ContactFrame->show();
  ui.DeeplistFrame->hide();
  ui.DisklistFrame->hide();
  ui.allfilecountbotlab->show();
  ui.allfilebotlab->show();
  ui.allfileSizebotlab->show();
  // What would be copied: the ticked files, which are all of them until something is unticked.
  ShowTickedCount();
  // The found folders in view at once: a lone collapsed drive item looks like nothing was found.
  if (m_topItem) {
    m_topItem->setExpanded(true);
    for (int i = 0; i < m_topItem->childCount(); ++i) m_topItem->child(i)->setExpanded(true);
  }
  DisposeWorker();
}

void SorbeckRecovery::ScanEndText(int rc, QString* text, QString* detail) const {
  // Answer 1 without a stop request is a scanner's end of the device: a scan that went to its end.
  const QString found = FileCount(m_fileCount);
  if (m_stopRequested || rc == RC_CANCELLED) {
    *text = tr("Scan stopped: %1 found.").arg(found);
  } else if (rc == RC_READ_FAILED) {
    // The scan went to its end; only what lay in the unreadable areas is missing.
    *text = tr("Scan finished: %1 found, but some areas of the device could not be read.").arg(found);
    *detail = tr("Files that lay in the unreadable areas may be missing or incomplete.");
  } else if (rc == RC_ROOT_DAMAGED) {
    *text = tr("The folders of this volume are damaged: Volume Recovery rebuilds them.");
    *detail = tr("Deleted Recovery follows the folders from the volume's root, which cannot be read. "
                 "Volume Recovery finds the folders by their own entries; "
                 "those whose parent is lost appear under \"Lost Location\".");
  } else if (rc == RC_WRONG_FS && m_scanKind == Mode_Volume) {
    *text = tr("No formatted or damaged volume was recognised here (engine code %1). Deep Recovery finds files "
               "by their contents.")
                .arg(rc);
  } else if (rc == RC_WRONG_FS && m_scanKind == Mode_Deleted) {
    *text = UnreadableVolumeText(rc);
    if (m_fileCount)
      *detail = m_fileCount == 1 ? tr("1 file was found before the scan ended.")
                                 : tr("%1 files were found before the scan ended.").arg(m_fileCount);
  } else if (rc != 0 && rc != RC_STOP) {
    *text = tr("The scan ended early with an error (engine code %1); %2 found before it.").arg(rc).arg(found);
  } else if (m_fileCount == 0 && m_scanKind == Mode_Deleted) {
    // Deleted Recovery reads the present volume alone: an intact one may hold no deleted entry,
    // and one formatted again holds none of the earlier files, which Volume Recovery finds by name.
    *text = tr("Scan finished: 0 files found. No deleted files were found. If the volume was formatted, use "
               "Volume Recovery first, then Deep Recovery.");
  } else if (m_fileCount == 0 && m_scanKind == Mode_Volume) {
    // A card re-formatted by a camera keeps its files but no entry naming them: the way on is
    // the scan that does not need the entries.
    *text =
        tr("Scan finished: 0 files found. No file entries were found on the volume; Deep Recovery finds "
           "files by their contents.");
  } else {
    *text = tr("Scan finished: %1 found.").arg(found);
  }
}

QString SorbeckRecovery::SearchEndText(int rc) const {
  const int n = m_foundNodes.size();
  if (m_stopRequested || rc == RC_CANCELLED)
    return n == 1 ? tr("The search was stopped; the partition found before it is listed below.")
           : n    ? tr("The search was stopped; the %1 partitions found before it are listed below.").arg(n)
                  : tr("The search was stopped before any lost partition was found.");
  if (rc != 0) {
    const int type = m_scannedDevice ? m_scannedDevice->GetType() : 0;
    if (type != DT_FIXED_DISK && type != DT_OTHER_DISK)
      return tr("The search for lost partitions runs on a whole disk, not on a partition (engine code %1). "
                "Please go Home and choose the disk.")
          .arg(rc);
    return tr("The search for lost partitions failed (engine code %1).").arg(rc);
  }
  // An empty table alone reads as a page that never finished.
  if (!n)
    return tr("No lost partitions of 200 MB or more were found on this disk. Deep Recovery finds files by "
              "their contents, in smaller volumes too.");
  const QString found =
      n == 1 ? tr("1 lost partition was found.") : tr("%1 lost partitions were found.").arg(n);
  return found + QLatin1Char(' ') +
         tr("Choose one in the list and a kind of recovery, then click Start Scan.");
}

void SorbeckRecovery::ShowSearchControls(bool running, bool anyFound) {
  m_searchStopBtn->setVisible(running);
  for (QWidget* w : {static_cast<QWidget*>(ui.partrecoveryButton), static_cast<QWidget*>(ui.deeprecoveryButton),
                     static_cast<QWidget*>(ui.scanDelDiskBtn), static_cast<QWidget*>(ui.lostpartitionTableWidget)})
    w->setVisible(running || anyFound);
  ui.partrecoveryButton->setEnabled(!running);
  ui.deeprecoveryButton->setEnabled(!running);
  // Dimmed while the search runs, as Home and Recover are during a scan: it cannot start anything then.
  ui.scanDelDiskBtn->setEnabled(!running);
}

void SorbeckRecovery::DisposeWorker() {
  if (!m_scanThread) return;
  m_scanThread->wait();
  delete m_scanThread;
  m_scanThread = nullptr;
}

void SorbeckRecovery::StopAndDisposeWorker() {
  if (!m_scanThread) return;
  m_scanThread->disconnect(this);
  m_scanThread->SetStop(1);
  if (m_timer) m_timer->stop();
  if (m_searchStopBtn) m_searchStopBtn->hide();
  DisposeWorker();
  ui.HomeButton->setEnabled(true);
  ui.recoveryBtn->setEnabled(true);
  ui.scanDelDiskBtn->setEnabled(true);
}

void SorbeckRecovery::ResultTreeCurrentChanged(QTreeWidgetItem* current, QTreeWidgetItem*) {
  if (current && current != m_shownItem) ClickResultTreeWidget(current, 0);
}

void SorbeckRecovery::DeviceHighlightChanged() {
  QTreeWidget* tree = ui.allDiskTreeWidget;
  // The row the keys moved to is the current one; with the selection emptied nothing changes.
  QTreeWidgetItem* row = tree->currentItem();
  if (!row || !row->isSelected()) row = tree->selectedItems().value(0);
  if (row) ClickAllDiskTabelWidget(row, 0);
}

void SorbeckRecovery::FoundHighlightChanged() {
  QTableWidget* table = ui.lostpartitionTableWidget;
  QTableWidgetItem* cell = table->currentItem();
  if (!cell || !cell->isSelected()) cell = table->selectedItems().value(0);
  if (cell) ClickPartitionTabelWidget(cell);
}

void SorbeckRecovery::ClickScanStopAction() {
  if (!m_scanThread) return;
  m_stopRequested = true;
  m_scanThread->SetStop(1);
}

QString SorbeckRecovery::NoDataReason(const QXQuickScanFileNode* node) const {
  if (!node || !(node->m_flags & FF_NODATA)) return QString();
  // The scan marks the files whose clusters another file's entry or the volume written over the
  // old one now holds; for the rest the chain, extents or head that placed the file are gone.
  if (node->m_flags & FF_OVERWRITTEN) return tr("its clusters now belong to other files");
  return tr("its place on the disk is not known");
}

QString SorbeckRecovery::FileCount(int n) { return n == 1 ? tr("1 file") : tr("%1 files").arg(n); }

void SorbeckRecovery::AddFoundFile(QList<QXQuickScanFileNode*>& list, QXQuickScanFileNode* node) {
  if (!node) return;
  node->m_noDataReason = NoDataReason(node);
  ++m_fileCount;
  m_totalSize += node->m_size;
  m_currentLocation = node->m_fullPath;
  list.append(node);
  if (m_mode == Mode_Deleted) {
    StructTreeWidgetWithFileNode(node);
    return;
  }
  const char* category = &list == &m_imageNodes    ? "/Image"
                         : &list == &m_videoNodes  ? "/Video"
                         : &list == &m_audioNodes  ? "/Audio"
                         : &list == &m_documentNodes ? "/Document"
                                                     : "/Other";
  EnsureTopItem();
  InsertNodeByPath(m_topItem, QLatin1String(category) + QLatin1Char('/') + node->m_fullPath, node);
}

void SorbeckRecovery::ScanQuickDiskFileNodeHandle(QXQuickScanFileNode* Node) { AddFoundFile(m_otherNodes, Node); }
void SorbeckRecovery::ScanQuickImageFileNodeHandle(QXQuickScanFileNode* Node) { AddFoundFile(m_imageNodes, Node); }
void SorbeckRecovery::ScanQuickVideoFileNodeHandle(QXQuickScanFileNode* Node) { AddFoundFile(m_videoNodes, Node); }
void SorbeckRecovery::ScanQuickAudioFileNodeHandle(QXQuickScanFileNode* Node) { AddFoundFile(m_audioNodes, Node); }
void SorbeckRecovery::ScanQuickDocumentFileNodeHandle(QXQuickScanFileNode* Node) {
  AddFoundFile(m_documentNodes, Node);
}

void SorbeckRecovery::TimerUpdate() {
  ui.currentfilelocation->setText(m_currentLocation);
  ui.allfilecountlab->setText(QString::number(m_fileCount));
  ui.allfileSizelab->setText(FormatFileSizeText(m_totalSize));
}

void SorbeckRecovery::ShowStartPage() {
  setFixedSize(1112, 648);
  ui.Welcomeframe->show();
  ui.allDiskTreeWidget->show();
  for (QFrame* f : {ui.Resultframe, ui.disklistFrame, ui.DeeplistFrame, ui.DisklistFrame, ui.ScanFrame,
                    ui.ContactFrame, ui.ContentStoreFrame, ui.MessageFrame, ui.NoteFrame, ui.callFrame,
                    ui.CaldFrame, ui.MMSFrame})
    f->hide();
  Centre(height());
  ui.diskTreeWidget->clear();
  ClearFoundPartitions();
  // Back at the start the mode is the one last chosen there, shown as chosen: a found partition's
  // mode would scan a device of a list that is gone.
  m_mode = m_startMode;
  m_problemShown = false;
  RestoreModeDescription();
  MarkChosenMode();
}

void SorbeckRecovery::ReleaseScanner() {
  // The file manager is released after its scanner, and with it the storage facade.
  if (m_scanner) m_scanner->Release();
  if (m_fileManager) m_fileManager->Release();
  m_scanner = nullptr;
  m_fileManager = nullptr;
  m_scannedDevice = nullptr;
}

void SorbeckRecovery::ClearFoundPartitions() {
  qDeleteAll(m_foundNodes);
  m_foundNodes.clear();
  // The search handed each found partition over to the window; a scan made on one is gone by now.
  for (IDevice* d : g_FoundPartitions)
    if (d) d->Release();
  g_FoundPartitions.clear();
  // The selection was a row of the found list: nothing on the start page is selected any more.
  if (m_selectionIsFound) {
    m_selectionIsFound = false;
    m_selectedIndex = -1;
    m_selectedDriveName.clear();
    ui.allDiskTreeWidget->clearSelection();
  }
}

void SorbeckRecovery::ClickHomeAction() {
  // The found files are still being read by the copy; they cannot be thrown away under it.
  if (m_copyThread) {
    SetStatus(tr("Files are being copied; wait for the copy to end."));
    return;
  }
  if (m_scanThread) StopAndDisposeWorker();
  // No found file refers to the scan's objects any more; the found partitions go after them.
  ForgetFoundFiles();
  ShowStartPage();
  ui.allfilecountlab->clear();
  ui.allfileSizelab->clear();
}

void SorbeckRecovery::ForgetFoundFiles() {
  ClearResults();
  m_fileCount = 0;
  m_totalSize = 0;
  for (auto* list : {&m_imageNodes, &m_videoNodes, &m_audioNodes, &m_documentNodes, &m_otherNodes}) {
    qDeleteAll(*list);
    list->clear();
  }
  ReleaseScanner();
  m_currentLocation.clear();
  ui.currentfilelocation->clear();
  ui.allfilebotlab->hide();
  ui.allfilecountbotlab->hide();
  ui.allfileSizebotlab->hide();
  ui.allfilecountbotlab->clear();
  ui.allfileSizebotlab->clear();
}

void SorbeckRecovery::ClickDiskHomeAction() {
  // The search is asked to stop; its end then only disposes of the worker.
  if (m_scanThread && m_scanThread->IsPartitionMode()) {
    m_searchAbandoned = true;
    m_scanThread->SetStop(1);
  }
  m_searchStopBtn->hide();
  ShowStartPage();
}

void SorbeckRecovery::writeNumber(int num, QString content) {
  QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/SorbeckRecovery/") + QString::number(num) +
             QStringLiteral(".txt"));
  if (!file.open(QIODevice::WriteOnly)) return;
  file.write(content.toLatin1());
  file.close();
}

void SorbeckRecovery::AddDeepScanFileTypes(IScanParam* param) {
  static const char* const kLists[] = {
      // Image
      "jpg", "tif/tiff", "tif", "tiff", "png", "bmp", "gif", "psd", "crw", "cr2", "nef", "orf", "raf", "sr2", "mrw",
      "dcr", "wmf", "dng", "erf", "raw", "ai", "xcf", "arw", "x3f", "dwg",
      // Document
      "doc", "docx", "xls", "xlsx", "pptx", "ppt", "pdf", "htm/html", "htm", "html", "indd", "eps", "cwk", "pages", "key",
      "numbers", "odt", "odp", "ods", "odg", "odf", "rtf", "plist", "vsd", "mat", "tax",
      // Audio
      "aif/aiff", "aif", "aiff", "m4a", "mp3", "wav", "wma", "mid/midi", "mid", "midi", "ogg", "aac",
      // Video
      "avi", "mov", "mp4", "m4v", "3gp", "3g2", "wmv", "asf", "mpg", "rm/rmvb", "rm", "rmvb", "flv", "swf", "mxf",
      "mkv",
      // Archive
      "zip", "rar", "sit", "7z", "sitx", "bz2",
      // Mail
      "pst", "dbx", "emlx", "eml", "msg"};
  static const char* const kCombined[][2] = {
      {"HTM/HTML", "HTM"}, {"AIF/AIFF", "AIF"}, {"MID/MIDI", "MID"}, {"RM/RMVB", "RM"}, {"TIF/TIFF", "TIF"}};
  if (!param) return;
  for (const char* name : kLists) {
    QByteArray sent = QString::fromLatin1(name).toLocal8Bit();
    for (const auto& c : kCombined)
      if (QString::fromLatin1(name).compare(QLatin1String(c[0]), Qt::CaseInsensitive) == 0) sent = c[1];
    param->AddFileType(sent.constData());
  }
}
