#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTimer>
#include <memory>

#include "frontend/sorbeckrecovery.h"

namespace {

// Without a desktop session (a virtual display, a service) there is no runtime folder, and Qt
// would warn among the program's own lines. Velmora then uses a private folder of its own under
// the temporary folder (QTemporaryDir makes it for its owner alone), set before Qt looks for
// one and removed at the end.
std::unique_ptr<QTemporaryDir> ProvideRuntimeFolder() {
  if (!qgetenv("XDG_RUNTIME_DIR").isEmpty()) return nullptr;
  std::unique_ptr<QTemporaryDir> made(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/velmora-runtime-XXXXXX")));
  if (!made->isValid()) return nullptr;
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(made->path()));
  return made;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::unique_ptr<QTemporaryDir> runtime = ProvideRuntimeFolder();
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
