#include "frontend/copysafety.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>
#include <cstring>

#include "common/inc/idevice.h"
#include "common/inc/ideviceio.h"

namespace {

const int kMaxComponentBytes = 240;

QString Tr(const char* text) { return QCoreApplication::translate("SorbeckRecoveryClass", text); }

QString SysBlock(const QString& name) { return QStringLiteral("/sys/class/block/") + name; }

QString ReadSys(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return QString();
  return QString::fromLocal8Bit(f.read(4096)).trimmed();
}

// The kernel's name of a block device node ("sda1", "dm-0"), or empty when it is none.
QString BlockName(const QString& devPath) {
  if (!devPath.startsWith(QLatin1String("/dev/"))) return QString();
  const QString real = QFileInfo(devPath).canonicalFilePath();
  if (real.isEmpty()) return QString();
  const QString name = QFileInfo(real).fileName();
  return QFileInfo::exists(SysBlock(name)) ? name : QString();
}

// The disk a partition belongs to; empty for a whole disk.
QString ParentDisk(const QString& name) {
  if (!QFileInfo::exists(SysBlock(name) + QStringLiteral("/partition"))) return QString();
  return QFileInfo(QFileInfo(SysBlock(name)).canonicalFilePath()).dir().dirName();
}

// Every block device that writes to `name` reach: itself and, through device-mapper or md, the
// devices beneath it. Depth-capped: the sysfs links are followed, not trusted.
void Underlying(const QString& name, QSet<QString>* out, int depth) {
  if (name.isEmpty() || depth > 16 || out->contains(name)) return;
  out->insert(name);
  const QDir slaves(SysBlock(name) + QStringLiteral("/slaves"));
  for (const QString& s : slaves.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System))
    Underlying(s, out, depth + 1);
}

bool Overlap(const QString& a, const QString& b) {
  return a == b || ParentDisk(a) == b || ParentDisk(b) == a;
}

QString BackingFile(const QString& name) {
  QString file = ReadSys(SysBlock(name) + QStringLiteral("/loop/backing_file"));
  if (file.isEmpty()) {
    const QString parent = ParentDisk(name);
    if (!parent.isEmpty()) file = ReadSys(SysBlock(parent) + QStringLiteral("/loop/backing_file"));
  }
  if (file.isEmpty()) return file;
  const QString real = QFileInfo(file).canonicalFilePath();
  return real.isEmpty() ? file : real;
}

}  // namespace

QString SanitiseComponent(const QString& name) {
  QString out;
  out.reserve(name.size());
  for (const QChar c : name) {
    const ushort u = c.unicode();
    if (u < 0x20 || u == 0x7f || c == QLatin1Char('/') || c == QLatin1Char('\\') || u == 0xfffe || u == 0xffff)
      out += QLatin1Char('_');
    else
      out += c;
  }
  if (out.isEmpty() || out == QLatin1String(".") || out == QLatin1String("..")) out = QStringLiteral("_");
  // Keep the name short enough that "name (nnn).ext" still fits the file system's limit.
  while (out.toUtf8().size() > kMaxComponentBytes) out.chop(out.at(out.size() - 1).isLowSurrogate() ? 2 : 1);
  if (out.isEmpty()) out = QStringLiteral("_");
  return out;
}

QStringList SafeComponents(const QString& path) {
  QStringList out;
  for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) out << SanitiseComponent(part);
  return out;
}

bool IsInsideFolder(const QString& root, const QString& path) {
  const QString r = QDir::cleanPath(QDir(root).absolutePath());
  const QString p = QDir::cleanPath(QDir(root).absoluteFilePath(path));
  const QString prefix = r.endsWith(QLatin1Char('/')) ? r : r + QLatin1Char('/');
  return p.startsWith(prefix) && p.size() > prefix.size();
}

QString NumberedName(const QString& fileName, int n) {
  const int dot = fileName.lastIndexOf(QLatin1Char('.'));
  const QString tag = QStringLiteral(" (%1)").arg(n);
  if (dot <= 0) return fileName + tag;
  return fileName.left(dot) + tag + fileName.mid(dot);
}

// The device channel's type information stays inside the engine library, so the sanitiser's
// dynamic-type check cannot look it up from here.
#if defined(__GNUC__)
__attribute__((no_sanitize("vptr")))
#endif
QString ScannedDevicePath(IDevice* device) {
  if (!device) return QString();
  IDeviceIo* io = device->GetIo();
  if (!io || !io->IsOpen()) {
    // A listed device closes its channel after enumeration and reopens itself on use.
    if (device->Open() != 0) return QString();
    io = device->GetIo();
  }
  if (!io) return QString();
  char path[264];
  std::memset(path, 0, sizeof path);
  if (io->Query(DIQ_PATH, path) != 0) return QString();
  path[263] = 0;
  const QString p = QString::fromLocal8Bit(path);
  const QString real = QFileInfo(p).canonicalFilePath();
  return real.isEmpty() ? p : real;
}

QString TargetRefusal(const QString& targetFolder, const QString& scannedPath) {
  if (scannedPath.isEmpty())
    return Tr("The scanned device could not be identified, so the target folder cannot be checked against "
              "it; nothing was copied.");
  const QString target = QFileInfo(targetFolder).canonicalFilePath();
  if (target.isEmpty()) return Tr("The target folder does not exist.");
  const QFileInfo scanned(scannedPath);
  const QString scannedName = BlockName(scannedPath);
  if (scannedName.isEmpty() && scanned.isFile()) {
    // An image file: the copy may go anywhere but into the image itself.
    if (target == scanned.canonicalFilePath() || target.startsWith(scanned.canonicalFilePath() + QLatin1Char('/')))
      return Tr("The target folder is the scanned image itself.");
  }
  const QStorageInfo storage(target);
  QSet<QString> under;
  Underlying(BlockName(QString::fromLocal8Bit(storage.device())), &under, 0);
  for (const QString& u : under) {
    if (!scannedName.isEmpty() && Overlap(u, scannedName))
      return Tr("The target folder lies on the device being recovered. Copying there could overwrite the lost "
                "files; please choose a folder on another disk.");
    if (scannedName.isEmpty() && !BackingFile(u).isEmpty() && BackingFile(u) == scanned.canonicalFilePath())
      return Tr("The target folder lies inside the scanned image. Copying there could overwrite the lost "
                "files; please choose a folder outside it.");
  }
  return QString();
}
