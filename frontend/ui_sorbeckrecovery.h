// The main window's form, laid out in code with fixed geometries: every widget keeps the
// object name the window code and its style sheets look it up by.
#pragma once
#include <QtCore/QVariant>
#include <QtGui/QFont>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QFrame>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMainWindow>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>
#include <QtWidgets/QStatusBar>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QToolBar>
#include <QtWidgets/QTreeWidget>
#include <QtWidgets/QWidget>

class Ui_SorbeckRecoveryClass {
 public:
  QWidget* centralWidget;
  QFrame* Welcomeframe;
  QPushButton* DeepScanButton;
  QPushButton* DeleteScanButton;
  QPushButton* PartitionScanButton;
  QPushButton* scanTheDiskBtn;
  QPushButton* LostVolumesButton;
  QLabel* Tiplab;
  QFrame* Resultframe;
  QPushButton* HomeButton;
  QPushButton* recoveryBtn;
  QFrame* ScanFrame;
  QProgressBar* progressBar;
  QLabel* currentfilelocation;
  QLabel* allfilecountlab;
  QLabel* OtherFileNamelab_5;
  QLabel* allfileSizelab;
  QPushButton* scanStopBtn;
  QTreeWidget* resultTreeWidget;
  QFrame* ContactFrame;
  QTableWidget* contantTableWidget;
  QCheckBox* checkBox_Image;
  QLabel* allfilebotlab;
  QLabel* allfilecountbotlab;
  QLabel* allfileSizebotlab;
  QLabel* ContactImagelab;
  QFrame* NoteFrame;
  QTableWidget* noteTableWidget;
  QLabel* noteContentlab;
  QCheckBox* checkBox_Audio;
  QLabel* AudioFileNamelab;
  QLabel* AudioFileSizelab;
  QLabel* AudioFileSourcelab;
  QFrame* callFrame;
  QTableWidget* callTableWidget;
  QFrame* MMSFrame;
  QTableWidget* MMSTableWidget;
  QFrame* MessageFrame;
  QTableWidget* messageTableWidget;
  QLabel* MessagaeContent;
  QCheckBox* checkBox_Video;
  QLabel* VideoFileNamelab;
  QLabel* VideoFileSizelab;
  QLabel* VideoFileSourcelab;
  QFrame* CaldFrame;
  QTableWidget* caldTableWidget;
  QCheckBox* checkBox_Document;
  QLabel* DocumentFileNamelab;
  QLabel* DocumentFileSourcelab;
  QLabel* DocumentFileSizelab;
  QFrame* ContentStoreFrame;
  QTableWidget* ContentTableWidget;
  QLabel* ContentImage;
  QCheckBox* checkBox_Other;
  QLabel* OtherFileSourcelab;
  QLabel* OtherFileNamelab;
  QLabel* OtherFileSizelab;
  QFrame* disklistFrame;
  QPushButton* diskHomeButton;
  QFrame* DeeplistFrame;
  QTreeWidget* diskTreeWidget;
  QLabel* label_4;
  QLabel* diskwelcomelab_2;
  QFrame* lostpartitionDiskFrame;
  QLabel* driveselectpartlab;
  QFrame* DisklistFrame;
  QTableWidget* driveTableWidget;
  QLabel* label_5;
  QLabel* diskwelcomelab_3;
  QPushButton* scanDelDiskBtn;
  QRadioButton* deeprecoveryButton;
  QTableWidget* lostpartitionTableWidget;
  QRadioButton* partrecoveryButton;
  QProgressBar* partprogressBar;
  QLabel* scanningstatelab;
  QTreeWidget* allDiskTreeWidget;
  QMenuBar* menuBar;
  QToolBar* mainToolBar;
  QStatusBar* statusBar;

  void setupUi(QMainWindow* SorbeckRecoveryClass) {
    if (SorbeckRecoveryClass->objectName().isEmpty())
      SorbeckRecoveryClass->setObjectName(QString::fromUtf8("SorbeckRecoveryClass"));
    SorbeckRecoveryClass->resize(4095, 4000);
    centralWidget = new QWidget(SorbeckRecoveryClass);
    centralWidget->setObjectName(QString::fromUtf8("centralWidget"));

    Welcomeframe = Frame(centralWidget, "Welcomeframe", QRect(0, -10, 1112, 648), "product.png");
    DeepScanButton = ImageButton(Welcomeframe, "DeepScanButton", QRect(270, 390, 264, 84), "deeprecovery.png",
                                 "deeprecoverydown.png", "deeprecoverydown.png", false);
    DeleteScanButton = ImageButton(Welcomeframe, "DeleteScanButton", QRect(10, 390, 248, 84),
                                   "deletedrecovery.png", "deletedrecoverydown.png", "deletedrecoverydown.png", false);
    PartitionScanButton = ImageButton(Welcomeframe, "PartitionScanButton", QRect(550, 390, 264, 84),
                                      "volumerecovery.png", "volumerecoverydown.png", "volumerecoverydown.png", false);
    scanTheDiskBtn = ImageButton(Welcomeframe, "scanTheDiskBtn", QRect(930, 588, 132, 31), "startscanbtn.png",
                                 "startscandown.png", "startscandown.png", false);
    LostVolumesButton = ImageButton(Welcomeframe, "LostVolumesButton", QRect(830, 390, 248, 84),
                                    "lostvolumerecovery.png", "lostvolumerecoverydown.png",
                                    "lostvolumerecoverydown.png", false);
    Tiplab = Label(Welcomeframe, "Tiplab", QRect(30, 540, 791, 27));

    Resultframe = Frame(centralWidget, "Resultframe", QRect(0, 710, 1112, 648), "resultview.png");
    HomeButton = ImageButton(Resultframe, "HomeButton", QRect(60, 580, 81, 31), "homeNom.png", "homeNom.png",
                             "homeNom.png", true);
    recoveryBtn = ImageButton(Resultframe, "recoveryBtn", QRect(940, 580, 132, 31), "recovernom.png",
                              "recoverydown.png", "recoverydown.png", true);
    ScanFrame = new QFrame(Resultframe);
    ScanFrame->setObjectName(QString::fromUtf8("ScanFrame"));
    ScanFrame->setGeometry(QRect(249, 3, 861, 61));
    ScanFrame->setStyleSheet(QString::fromUtf8(""));
    ScanFrame->setFrameShape(QFrame::StyledPanel);
    ScanFrame->setFrameShadow(QFrame::Raised);
    progressBar = Progress(ScanFrame, "progressBar", QRect(38, 12, 641, 12));
    currentfilelocation = Label(ScanFrame, "currentfilelocation", QRect(40, 27, 431, 21));
    currentfilelocation->setFont(LucidaFont(7, false));
    currentfilelocation->setWordWrap(true);
    allfilecountlab = Label(ScanFrame, "allfilecountlab", QRect(467, 30, 121, 21));
    allfilecountlab->setFont(LucidaFont(11, true));
    allfilecountlab->setAlignment(Qt::AlignRight | Qt::AlignTrailing | Qt::AlignTop);
    allfilecountlab->setWordWrap(true);
    OtherFileNamelab_5 = TopLeftLabel(ScanFrame, "OtherFileNamelab_5", QRect(594, 30, 71, 21));
    OtherFileNamelab_5->setFont(LucidaFont(11, false));
    allfileSizelab = TopLeftLabel(ScanFrame, "allfileSizelab", QRect(650, 30, 191, 21));
    scanStopBtn = new QPushButton(ScanFrame);
    scanStopBtn->setObjectName(QString::fromUtf8("scanStopBtn"));
    scanStopBtn->setGeometry(QRect(700, 10, 49, 20));
    scanStopBtn->setStyleSheet(QString::fromUtf8("border-image: url(:/SorbeckRecovery/Skin/stopbutton.png);"));

    resultTreeWidget = Tree(Resultframe, "resultTreeWidget", QRect(0, 10, 241, 541));
    resultTreeWidget->setEnabled(true);
    resultTreeWidget->setFrameShape(QFrame::Box);
    ContactFrame = Frame(Resultframe, "ContactFrame", QRect(240, 280, 871, 271), "MainImage.png");
    contantTableWidget = Table(ContactFrame, "contantTableWidget", QRect(0, 0, 871, 271), 4);
    {
      QFont font;
      font.setFamily(QString::fromUtf8("Tahoma"));
      font.setBold(true);
      for (int c = 0; c < 4; ++c) {
        QTableWidgetItem* header = contantTableWidget->horizontalHeaderItem(c);
        header->setTextAlignment(Qt::AlignLeading | Qt::AlignVCenter);
        header->setFont(font);
      }
    }
    contantTableWidget->setFrameShape(QFrame::Box);
    checkBox_Image = Check(ContactFrame, "checkBox_Image", QRect(0, 3, 16, 16));
    checkBox_Image->setChecked(true);
    allfilebotlab = TopLeftLabel(Resultframe, "allfilebotlab", QRect(454, 570, 71, 21));
    allfilecountbotlab = Label(Resultframe, "allfilecountbotlab", QRect(267, 570, 181, 21));
    allfilecountbotlab->setAlignment(Qt::AlignRight | Qt::AlignTrailing | Qt::AlignTop);
    allfilecountbotlab->setWordWrap(true);
    allfileSizebotlab = TopLeftLabel(Resultframe, "allfileSizebotlab", QRect(510, 570, 191, 21));
    ContactImagelab = Label(Resultframe, "ContactImagelab", QRect(530, 90, 251, 161));
    ContactImagelab->setStyleSheet(QString::fromUtf8(""));
    ContactImagelab->setFrameShape(QFrame::NoFrame);
    ContactImagelab->setFrameShadow(QFrame::Plain);

    NoteFrame = Frame(centralWidget, "NoteFrame", QRect(1170, 690, 850, 435), "MainImage.png");
    noteTableWidget = Table(NoteFrame, "noteTableWidget", QRect(0, 134, 851, 291), 5);
    noteContentlab = Label(NoteFrame, "noteContentlab", QRect(640, 10, 141, 111));
    noteContentlab->setWordWrap(true);
    checkBox_Audio = Check(NoteFrame, "checkBox_Audio", QRect(3, 138, 16, 16));
    AudioFileNamelab = TopLeftLabel(NoteFrame, "AudioFileNamelab", QRect(140, 20, 381, 21));
    AudioFileSizelab = TopLeftLabel(NoteFrame, "AudioFileSizelab", QRect(140, 40, 381, 21));
    AudioFileSourcelab = TopLeftLabel(NoteFrame, "AudioFileSourcelab", QRect(140, 60, 621, 41));

    callFrame = Frame(centralWidget, "callFrame", QRect(1140, 1170, 850, 435), "MainImage.png");
    callTableWidget = Table(callFrame, "callTableWidget", QRect(0, 134, 851, 291), 5);
    MMSFrame = Frame(centralWidget, "MMSFrame", QRect(1010, 1630, 850, 435), "MainImage.png");
    MMSTableWidget = Table(MMSFrame, "MMSTableWidget", QRect(0, 134, 851, 291), 5);

    MessageFrame = Frame(centralWidget, "MessageFrame", QRect(0, 2780, 850, 435), "MainImage.png");
    messageTableWidget = Table(MessageFrame, "messageTableWidget", QRect(0, 134, 851, 291), 5);
    {
      QFont font;
      font.setFamily(QString::fromUtf8("Tahoma"));
      for (int c = 0; c < 5; ++c) messageTableWidget->horizontalHeaderItem(c)->setFont(font);
    }
    MessagaeContent = Label(MessageFrame, "MessagaeContent", QRect(640, 10, 141, 101));
    MessagaeContent->setWordWrap(true);
    checkBox_Video = Check(MessageFrame, "checkBox_Video", QRect(3, 138, 16, 16));
    VideoFileNamelab = TopLeftLabel(MessageFrame, "VideoFileNamelab", QRect(130, 20, 381, 21));
    VideoFileSizelab = TopLeftLabel(MessageFrame, "VideoFileSizelab", QRect(130, 40, 381, 21));
    VideoFileSourcelab = TopLeftLabel(MessageFrame, "VideoFileSourcelab", QRect(130, 60, 621, 41));

    CaldFrame = Frame(centralWidget, "CaldFrame", QRect(10, 2240, 850, 435), "MainImage.png");
    caldTableWidget = Table(CaldFrame, "caldTableWidget", QRect(0, 134, 851, 291), 5);
    checkBox_Document = Check(CaldFrame, "checkBox_Document", QRect(3, 138, 16, 16));
    DocumentFileNamelab = TopLeftLabel(CaldFrame, "DocumentFileNamelab", QRect(130, 20, 381, 21));
    DocumentFileSourcelab = TopLeftLabel(CaldFrame, "DocumentFileSourcelab", QRect(130, 60, 621, 41));
    DocumentFileSizelab = TopLeftLabel(CaldFrame, "DocumentFileSizelab", QRect(130, 40, 381, 21));

    ContentStoreFrame = Frame(centralWidget, "ContentStoreFrame", QRect(0, 1600, 850, 435), "MainImage.png");
    ContentTableWidget = Table(ContentStoreFrame, "ContentTableWidget", QRect(0, 134, 851, 291), 5);
    ContentImage = Label(ContentStoreFrame, "ContentImage", QRect(640, 10, 181, 111));
    checkBox_Other = Check(ContentStoreFrame, "checkBox_Other", QRect(3, 138, 16, 16));
    OtherFileSourcelab = TopLeftLabel(ContentStoreFrame, "OtherFileSourcelab", QRect(130, 60, 621, 41));
    OtherFileNamelab = TopLeftLabel(ContentStoreFrame, "OtherFileNamelab", QRect(130, 20, 381, 21));
    OtherFileSizelab = TopLeftLabel(ContentStoreFrame, "OtherFileSizelab", QRect(130, 40, 381, 21));

    disklistFrame = Frame(centralWidget, "disklistFrame", QRect(1850, 0, 1671, 1111), "seconddisk.png");
    diskHomeButton = ImageButton(disklistFrame, "diskHomeButton", QRect(50, 591, 81, 31), "homeNom.png",
                                 "homeNom.png", "homeNom.png", false);
    DeeplistFrame = Frame(disklistFrame, "DeeplistFrame", QRect(1140, 10, 850, 471), "MainImage.png");
    diskTreeWidget = Tree(DeeplistFrame, "diskTreeWidget", QRect(40, 100, 771, 231));
    label_4 = StyledLabel(DeeplistFrame, "label_4", QRect(40, 60, 431, 20), "font: 75 9pt \"Lucida Bright\";");
    diskwelcomelab_2 =
        StyledLabel(DeeplistFrame, "diskwelcomelab_2", QRect(40, 0, 431, 31), "font: 14pt \"Lucida Bright\";");
    lostpartitionDiskFrame =
        Frame(DeeplistFrame, "lostpartitionDiskFrame", QRect(30, 180, 541, 441), "MainImage.png");
    driveselectpartlab = StyledLabel(lostpartitionDiskFrame, "driveselectpartlab", QRect(40, 60, 221, 20),
                                     "font: 75 9pt \"Lucida Bright\";");
    DisklistFrame = Frame(disklistFrame, "DisklistFrame", QRect(900, 670, 850, 471), "MainImage.png");
    driveTableWidget = Table(DisklistFrame, "driveTableWidget", QRect(40, 80, 771, 231), 2);
    label_5 = StyledLabel(DisklistFrame, "label_5", QRect(40, 60, 431, 20), "font: 75 9pt \"Lucida Bright\";");
    diskwelcomelab_3 =
        StyledLabel(DisklistFrame, "diskwelcomelab_3", QRect(40, 0, 431, 31), "font: 14pt \"Lucida Bright\";");
    scanDelDiskBtn = ImageButton(disklistFrame, "scanDelDiskBtn", QRect(930, 591, 132, 31), "startscanbtn.png",
                                 "startscandown.png", "startscandown.png", true);
    deeprecoveryButton = new QRadioButton(disklistFrame);
    deeprecoveryButton->setObjectName(QString::fromUtf8("deeprecoveryButton"));
    deeprecoveryButton->setGeometry(QRect(30, 443, 241, 16));
    lostpartitionTableWidget = Table(disklistFrame, "lostpartitionTableWidget", QRect(30, 133, 1100, 261), 3);
    partrecoveryButton = new QRadioButton(disklistFrame);
    partrecoveryButton->setObjectName(QString::fromUtf8("partrecoveryButton"));
    partrecoveryButton->setGeometry(QRect(30, 413, 251, 21));
    partrecoveryButton->setChecked(true);
    partprogressBar = Progress(disklistFrame, "partprogressBar", QRect(30, 103, 881, 12));
    scanningstatelab = StyledLabel(disklistFrame, "scanningstatelab", QRect(30, 80, 221, 20),
                                   "font: 75 9pt \"Lucida Bright\";");

    allDiskTreeWidget = Tree(centralWidget, "allDiskTreeWidget", QRect(0, 50, 1111, 251));

    SorbeckRecoveryClass->setCentralWidget(centralWidget);
    menuBar = new QMenuBar(SorbeckRecoveryClass);
    menuBar->setObjectName(QString::fromUtf8("menuBar"));
    menuBar->setGeometry(QRect(0, 0, 4095, 23));
    SorbeckRecoveryClass->setMenuBar(menuBar);
    mainToolBar = new QToolBar(SorbeckRecoveryClass);
    mainToolBar->setObjectName(QString::fromUtf8("mainToolBar"));
    SorbeckRecoveryClass->addToolBar(Qt::TopToolBarArea, mainToolBar);
    statusBar = new QStatusBar(SorbeckRecoveryClass);
    statusBar->setObjectName(QString::fromUtf8("statusBar"));
    SorbeckRecoveryClass->setStatusBar(statusBar);

    retranslateUi(SorbeckRecoveryClass);
    QMetaObject::connectSlotsByName(SorbeckRecoveryClass);
  }

  void retranslateUi(QMainWindow* SorbeckRecoveryClass) {
    SorbeckRecoveryClass->setWindowTitle(Tr("Velmora"));
    const QString empty;
    for (QPushButton* b : {DeepScanButton, DeleteScanButton, PartitionScanButton, scanTheDiskBtn,
                           LostVolumesButton, HomeButton, recoveryBtn, scanStopBtn, diskHomeButton, scanDelDiskBtn})
      b->setText(empty);
    for (QLabel* l : {Tiplab, currentfilelocation, ContactImagelab, noteContentlab, AudioFileNamelab,
                      AudioFileSizelab, AudioFileSourcelab, MessagaeContent, VideoFileNamelab, VideoFileSizelab,
                      VideoFileSourcelab, DocumentFileNamelab, DocumentFileSourcelab, DocumentFileSizelab,
                      ContentImage, OtherFileSourcelab, OtherFileNamelab, OtherFileSizelab})
      l->setText(empty);
    for (QCheckBox* c : {checkBox_Image, checkBox_Audio, checkBox_Video, checkBox_Document, checkBox_Other})
      c->setText(empty);
    allfilecountlab->setText(Tr("0"));
    OtherFileNamelab_5->setText(Tr("files in"));
    allfileSizelab->setText(Tr("0KB"));
    resultTreeWidget->headerItem()->setText(0, Tr("1"));
    Headers(contantTableWidget, {"    File Name", "File Size", "Source Path", "Create Date"});
    allfilebotlab->setText(Tr("files in"));
    allfilecountbotlab->setText(Tr("0"));
    allfileSizebotlab->setText(Tr("0KB"));
    Headers(noteTableWidget, {"    File Name", "File Size", "Source Path", "Create Date", "Modify Date"});
    Headers(callTableWidget, {" File Name", "File Size", "Source Path", "Create Date", "Modify Date"});
    Headers(MMSTableWidget, {" File Name", " File Size", " Source Path", "Create Date", "Modify Date"});
    Headers(messageTableWidget, {"    File Name", "File Size", "Source Path", "File Path", "Index"});
    Headers(caldTableWidget, {"    File Name", "File Size", "Source Path", "File Path", "Index"});
    Headers(ContentTableWidget, {"    File Name", "File Size", "Source Path", "File Path", "Index"});
    diskTreeWidget->headerItem()->setText(0, Tr("1"));
    label_4->setText(Tr("Please select the File Location:"));
    diskwelcomelab_2->setText(Tr("Welcome to Velmora"));
    driveselectpartlab->setText(Tr("Please select the partition to scan:"));
    Headers(driveTableWidget, {"Drive Name", "Drive Size"});
    label_5->setText(Tr("Please select the drive to scan the partition:"));
    diskwelcomelab_3->setText(Tr("Welcome to Velmora"));
    deeprecoveryButton->setText(Tr("Scan with Partition Deep Recovery"));
    Headers(lostpartitionTableWidget, {"Partition Name", "Partition Size", "Partition Type"});
    partrecoveryButton->setText(Tr("Scan with Partition Volume Recovery"));
    scanningstatelab->setText(Tr("Scanning...please wait"));
    allDiskTreeWidget->headerItem()->setText(0, Tr("1"));
  }

 private:
  static QString Tr(const char* text) { return QApplication::translate("SorbeckRecoveryClass", text, nullptr); }

  static void Headers(QTableWidget* table, std::initializer_list<const char*> texts) {
    int c = 0;
    for (const char* t : texts) table->horizontalHeaderItem(c++)->setText(Tr(t));
  }

  static QFont LucidaFont(int points, bool bold) {
    QFont font;
    font.setFamily(QString::fromUtf8("Lucida Bright"));
    font.setPointSize(points);
    font.setBold(bold);
    if (bold) font.setWeight(75);
    return font;
  }

  static QFrame* Frame(QWidget* parent, const char* name, const QRect& geometry, const char* image) {
    QFrame* f = new QFrame(parent);
    f->setObjectName(QString::fromUtf8(name));
    f->setGeometry(geometry);
    // Scoped to the frame: unscoped, every child paints the picture again from its own corner,
    // and the tables' check boxes come out as solid squares of it.
    f->setStyleSheet(QString::fromUtf8("QFrame#%1{background-image: url(:/SorbeckRecovery/Skin/%2);}")
                         .arg(QLatin1String(name), QLatin1String(image)));
    f->setFrameShape(QFrame::StyledPanel);
    f->setFrameShadow(QFrame::Raised);
    return f;
  }

  static QPushButton* ImageButton(QWidget* parent, const char* name, const QRect& geometry, const char* normal,
                                  const char* hover, const char* pressed, bool trailingBreak) {
    QPushButton* b = new QPushButton(parent);
    b->setObjectName(QString::fromUtf8(name));
    b->setGeometry(geometry);
    QString sheet = QString::fromUtf8(
                        "QPushButton{background:transparent;\nborder:transparent;\nbackground-image: "
                        "url(:/SorbeckRecovery/Skin/%1);}\nQPushButton::hover{background-image: "
                        "url(:/SorbeckRecovery/Skin/%2);}\nQPushButton::Pressed{background-image: "
                        "url(:/SorbeckRecovery/Skin/%3);}")
                        .arg(QLatin1String(normal), QLatin1String(hover), QLatin1String(pressed));
    if (trailingBreak) sheet += QLatin1Char('\n');
    b->setStyleSheet(sheet);
    return b;
  }

  static QLabel* Label(QWidget* parent, const char* name, const QRect& geometry) {
    QLabel* l = new QLabel(parent);
    l->setObjectName(QString::fromUtf8(name));
    l->setGeometry(geometry);
    return l;
  }

  static QLabel* TopLeftLabel(QWidget* parent, const char* name, const QRect& geometry) {
    QLabel* l = Label(parent, name, geometry);
    l->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignTop);
    l->setWordWrap(true);
    return l;
  }

  static QLabel* StyledLabel(QWidget* parent, const char* name, const QRect& geometry, const char* sheet) {
    QLabel* l = Label(parent, name, geometry);
    l->setStyleSheet(QString::fromUtf8(sheet));
    return l;
  }

  static QProgressBar* Progress(QWidget* parent, const char* name, const QRect& geometry) {
    QProgressBar* p = new QProgressBar(parent);
    p->setObjectName(QString::fromUtf8(name));
    p->setGeometry(geometry);
    p->setValue(0);
    return p;
  }

  static QCheckBox* Check(QWidget* parent, const char* name, const QRect& geometry) {
    QCheckBox* c = new QCheckBox(parent);
    c->setObjectName(QString::fromUtf8(name));
    c->setGeometry(geometry);
    c->setStyleSheet(QString::fromUtf8("background:transparent;"));
    return c;
  }

  static QTreeWidget* Tree(QWidget* parent, const char* name, const QRect& geometry) {
    QTreeWidget* t = new QTreeWidget(parent);
    QTreeWidgetItem* header = new QTreeWidgetItem();
    header->setText(0, QString::fromUtf8("1"));
    t->setHeaderItem(header);
    t->setObjectName(QString::fromUtf8(name));
    t->setGeometry(geometry);
    return t;
  }

  static QTableWidget* Table(QWidget* parent, const char* name, const QRect& geometry, int columns) {
    QTableWidget* t = new QTableWidget(parent);
    t->setColumnCount(columns);
    for (int c = 0; c < columns; ++c) t->setHorizontalHeaderItem(c, new QTableWidgetItem());
    t->setObjectName(QString::fromUtf8(name));
    t->setGeometry(geometry);
    // No style sheet of its own: any rule on the table makes the rows' check boxes paint as solid
    // black squares, ticked or not.
    return t;
  }
};

namespace Ui {
class SorbeckRecoveryClass : public Ui_SorbeckRecoveryClass {};
}  // namespace Ui
