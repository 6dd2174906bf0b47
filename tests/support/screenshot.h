// Pictures of the windows under test, for looking at by eye.
#pragma once
#include <QByteArray>
#include <QCoreApplication>
#include <QLatin1String>
#include <QPixmap>
#include <QString>
#include <QWidget>

namespace testutil {

// Saves a picture of the window when VELMORA_SCREENSHOTS names a folder.
inline void Shot(QWidget* w, const char* name) {
  const QByteArray dir = qgetenv("VELMORA_SCREENSHOTS");
  if (dir.isEmpty()) return;
  QCoreApplication::processEvents();
  w->grab().save(QString::fromLocal8Bit(dir) + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
}

}  // namespace testutil
