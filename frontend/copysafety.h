// Rules that keep a copy of found files from ever destroying data: names from the disk are made
// harmless, nothing existing is replaced, and the scanned device is never written to.
#pragma once
#include <QString>
#include <QStringList>

class IDevice;

// One path component from the disk made safe to create: no separators, no control characters,
// never "." or "..", never empty, at most 240 bytes of UTF-8.
QString SanitiseComponent(const QString& name);
// The '/'-separated path of a found file as safe components (empty parts dropped).
QStringList SafeComponents(const QString& path);
// Whether `path` lies strictly inside the folder `root` once both are normalised.
bool IsInsideFolder(const QString& root, const QString& path);
// "name (n).ext" for n >= 2; the extension is the text after the last dot that is not the first character.
QString NumberedName(const QString& fileName, int n);
// The real path of the file or block device the engine reads for `device`, or empty when unknown.
QString ScannedDevicePath(IDevice* device);
// Why copying into `targetFolder` could write to the scanned device at `scannedPath`, or empty when
// it cannot. An unknown scanned path is refused: the target could not be checked against it.
QString TargetRefusal(const QString& targetFolder, const QString& scannedPath);
