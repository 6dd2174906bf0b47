// Drives the main window as a person does: a device row picked, a mode card clicked, Start Scan,
// and the wait for the end; with the file helpers the window tests compare copies with.
#pragma once
#include <QAbstractButton>
#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QString>
#include <QStringList>
#include <QTreeWidget>
#include <QtTest>

#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "frontend/sorbeckrecovery.h"

// How long a window test waits for the window: a guard against a hang, not a speed target.
// The scans, copies and previews it waits for run engine code beside the rest of the suite,
// under the sanitizers too, on machines that may be busy with other work. QTRY_VERIFY and
// QTRY_COMPARE wait this long here, not Qt's 5 seconds.
const int kPatienceMs = 300000;
#undef QTRY_VERIFY
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT(expr, kPatienceMs)
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected) QTRY_COMPARE_WITH_TIMEOUT(expr, expected, kPatienceMs)

namespace windowtest {

// A scanner whose scan a test scripts; everything else answers as a scanner with no results tree
// would, and the object belongs to the test (Release frees nothing).
class ScriptedScanner : public IScanOperator {
 public:
  IFileManager* GetFileManager() override { return nullptr; }
  IScanOperator* SetFileManager(IFileManager*) override { return this; }
  int GetScanParam(IScanParam** out) override {
    *out = nullptr;
    return RC_FAIL;
  }
  void Release() override {}
  int GetScanType() override { return Scan_Deleted; }
  IDeviceBitmap* CreateDeviceBitmap() override { return nullptr; }
  int GetFileOp(IFileInfo*, IFileOP**) override { return RC_FAIL; }
  int ListFiles(IFilter*, INotifySink*) override { return RC_FAIL; }
  int CreateFilter(IFilter**) override { return RC_FAIL; }
  int SaveResult(const char16_t*, INotifySink*) override { return RC_FAIL; }
  int LoadResult(INotifySink*, int) override { return RC_FAIL; }
};

// The window, shown as the program shows it; over the real engine when none is handed in.
class ShownWindow : public SorbeckRecovery {
 public:
  explicit ShownWindow(IRecoveryManagement* engine = nullptr) : SorbeckRecovery(engine) { show(); }
};

inline void Click(QAbstractButton* b) { QTest::mouseClick(b, Qt::LeftButton); }

inline QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The files below `dir`, relative to it and sorted.
inline QStringList FilesUnder(const QString& dir) {
  QStringList out;
  QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) out << QDir(dir).relativeFilePath(it.next());
  out.sort();
  return out;
}

// An image file of `size` zero bytes; false when it cannot be made.
inline bool ZeroFile(const QString& path, qint64 size) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.resize(size);
}

inline QTreeWidgetItem* Child(QTreeWidgetItem* item, const QString& name) {
  for (int i = 0; item && i < item->childCount(); ++i)
    if (item->child(i)->text(0) == name) return item->child(i);
  return nullptr;
}

// The `occurrence`-th disk row named `disk` (from 0), or its partition row `partition`.
inline QTreeWidgetItem* DeviceRow(SorbeckRecovery& w, const QString& disk,
                                  const QString& partition = QString(), int occurrence = 0) {
  QTreeWidget* tree = w.Form().allDiskTreeWidget;
  int seen = 0;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* top = tree->topLevelItem(i);
    if (top->text(0) != disk || seen++ != occurrence) continue;
    return partition.isEmpty() ? top : Child(top, partition);
  }
  return nullptr;
}

// The first disk row, or its first partition row.
inline QTreeWidgetItem* FirstRow(SorbeckRecovery& w, bool partition) {
  QTreeWidgetItem* disk = w.Form().allDiskTreeWidget->topLevelItem(0);
  return partition && disk ? disk->child(0) : disk;
}

inline void Pick(SorbeckRecovery& w, QTreeWidgetItem* row) {
  emit w.Form().allDiskTreeWidget->itemClicked(row, 0);
}

// Picks the row, clicks the mode's card, then Start Scan.
inline void Start(SorbeckRecovery& w, QTreeWidgetItem* row, QAbstractButton* mode) {
  Pick(w, row);
  Click(mode);
  Click(w.Form().scanTheDiskBtn);
}

// As Start, then waits for the scan or search to end; false when it did not within `ms`.
inline bool RunToEnd(SorbeckRecovery& w, QTreeWidgetItem* row, QAbstractButton* mode, int ms = kPatienceMs) {
  Start(w, row, mode);
  return QTest::qWaitFor([&] { return !w.ScanRunning(); }, ms);
}

// Whether `w` is visible and drawn whole: no parent up to the window cuts any of it off.
inline bool ShownWhole(QWidget* w) {
  if (!w || !w->isVisible()) return false;
  for (QWidget* p = w->parentWidget(); p; p = p->parentWidget()) {
    if (!p->rect().contains(QRect(w->mapTo(p, QPoint(0, 0)), w->size()))) return false;
    if (p->isWindow()) break;
  }
  return true;
}

// A label's text fits its box (wrapped where the label wraps).
inline bool TextFits(QLabel* label) {
  return label->wordWrap() ? label->heightForWidth(label->width()) <= label->height()
                           : label->sizeHint().width() <= label->width();
}

// Where the one line of a left-aligned label's text begins and ends, in its parent's coordinates,
// by the label's own font.
inline int TextBegins(const QLabel* label) {
  return label->x() + label->contentsRect().left() + label->margin() + qMax(0, label->indent());
}
inline int TextEnds(const QLabel* label) {
  return TextBegins(label) + label->fontMetrics().horizontalAdvance(label->text());
}

// Empty when `after`'s text begins past where `before`'s ends; else both positions, to say so.
inline QString TextsOverlap(const QLabel* before, const QLabel* after) {
  if (TextBegins(after) > TextEnds(before)) return QString();
  return QString("%1 <= %2").arg(TextBegins(after)).arg(TextEnds(before));
}

// A preview of a picture of `original` size: as large as fits the 180 x 120 box, in the picture's
// own shape (to the pixel the scaling rounds to).
inline bool PreviewKeepsShape(const QSize& shown, const QSize& original) {
  if (shown.isEmpty() || original.isEmpty() || shown.width() > 180 || shown.height() > 120) return false;
  if (shown.width() != 180 && shown.height() != 120) return false;
  const qint64 skew = qint64(shown.width()) * original.height() - qint64(shown.height()) * original.width();
  return qAbs(skew) <= qMax(original.width(), original.height());
}

// Sets KESTRUM_DISKS for the life of the object: the engine reads it each time it opens a disk.
struct ScopedDisks {
  explicit ScopedDisks(const QString& paths) { qputenv("KESTRUM_DISKS", paths.toLocal8Bit()); }
  ~ScopedDisks() { qunsetenv("KESTRUM_DISKS"); }
};

}  // namespace windowtest
