#include <QApplication>
#include <QTextCodec>
#include <QTimer>

#include "frontend/sorbeckrecovery.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QCoreApplication::addLibraryPath(QStringLiteral("./plugins"));
  // The system code page is UTF-8 here.
  if (QTextCodec* codec = QTextCodec::codecForName("UTF-8")) QTextCodec::setCodecForLocale(codec);
  SorbeckRecovery window;
  window.show();
  // On a machine without a display the run script starts the program on a virtual one; this
  // saves a picture of the window there once it is up, and ends the program.
  const QString snapshot = QString::fromLocal8Bit(qgetenv("VELMORA_SNAPSHOT"));
  if (!snapshot.isEmpty())
    QTimer::singleShot(1500, &window, [&] { app.exit(window.grab().save(snapshot, "PNG") ? 0 : 1); });
  return app.exec();
}
