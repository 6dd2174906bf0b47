#include <QApplication>
#include <QTextCodec>

#include "frontend/sorbeckrecovery.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QCoreApplication::addLibraryPath(QStringLiteral("./plugins"));
  // The system code page is UTF-8 here.
  if (QTextCodec* codec = QTextCodec::codecForName("UTF-8")) QTextCodec::setCodecForLocale(codec);
  SorbeckRecovery window;
  window.show();
  return app.exec();
}
