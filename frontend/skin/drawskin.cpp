// Draws the program's skin images at build time, so that every picture the window shows is our
// own and its words are legible in whatever typeface the machine has.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>
#include <cstdio>

namespace {

const QColor kInk(0x1F, 0x2A, 0x36);
const QColor kAccent(0xD9, 0x94, 0x11);
const QColor kBody(0xF3, 0xF5, 0xF8);
const QColor kPanel(0xFF, 0xFF, 0xFF);
const QColor kLine(0xC9, 0xD1, 0xDB);

QString g_out;
QStringList g_written;

bool Save(const QImage& img, const QString& name) {
  const QString path = g_out + QLatin1Char('/') + name;
  if (!img.save(path, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  g_written << name;
  return true;
}

QImage Canvas(int w, int h, const QColor& fill) {
  QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
  img.fill(fill);
  return img;
}

QFont Font(int pixels, bool bold) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(pixels);
  f.setBold(bold);
  return f;
}

void Text(QPainter& p, const QRect& r, const QString& s, int pixels, bool bold, const QColor& c,
          int flags = Qt::AlignLeft | Qt::AlignVCenter) {
  p.setFont(Font(pixels, bold));
  p.setPen(c);
  p.drawText(r, flags | Qt::TextWordWrap, s);
}

// A rounded button with its words; the pressed twin is darker with the words nudged down.
QImage Button(int w, int h, const QString& words, const QColor& base, bool pressed, int pixels) {
  QImage img = Canvas(w, h, Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, 0, h);
  const QColor top = pressed ? base.darker(125) : base.lighter(112);
  const QColor bottom = pressed ? base.darker(105) : base.darker(108);
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  QPainterPath path;
  path.addRoundedRect(QRectF(1, 1, w - 2, h - 2), qMin(8, h / 3), qMin(8, h / 3));
  p.fillPath(path, g);
  p.setPen(QPen(base.darker(150), 1));
  p.drawPath(path);
  Text(p, QRect(0, pressed ? 1 : 0, w, h), words, pixels, true, Qt::white, Qt::AlignCenter);
  return img;
}

// A mode button: a symbol at the left, the mode's name and a short line under it.
QImage ModeButton(int w, int h, const QString& title, const QString& line, const QColor& base, bool pressed,
                  int symbol) {
  QImage img = Button(w, h, QString(), base, pressed, 16);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const int d = pressed ? 1 : 0;
  p.setPen(QPen(Qt::white, 3));
  p.setBrush(Qt::NoBrush);
  QRect icon(14, 22 + d, 40, 40);
  switch (symbol) {
    case 0:  // a bin with an arrow out of it
      p.drawRect(icon.adjusted(6, 10, -6, 0));
      p.drawLine(icon.left() + 2, icon.top() + 8, icon.right() - 2, icon.top() + 8);
      p.drawLine(icon.center().x(), icon.top() + 34, icon.center().x(), icon.top() - 4);
      break;
    case 1:  // a magnifier
      p.drawEllipse(icon.adjusted(0, 0, -12, -12));
      p.drawLine(icon.right() - 14, icon.bottom() - 14, icon.right(), icon.bottom());
      break;
    case 2:  // stacked volumes
      for (int i = 0; i < 3; ++i) p.drawRoundedRect(QRect(icon.left(), icon.top() + i * 13, 40, 10), 3, 3);
      break;
    default:  // a disk with a question
      p.drawEllipse(icon);
      Text(p, icon, QStringLiteral("?"), 24, true, Qt::white, Qt::AlignCenter);
      break;
  }
  Text(p, QRect(64, 12 + d, w - 70, 30), title, 17, true, Qt::white);
  Text(p, QRect(64, 42 + d, w - 70, 34), line, 11, false, QColor(255, 255, 255, 225),
       Qt::AlignLeft | Qt::AlignTop);
  return img;
}

QImage Page(const QString& title, const QString& subtitle, int bandTop) {
  QImage img = Canvas(1112, 648, kBody);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(QRect(0, 0, 1112, bandTop + 50), kInk);
  p.fillRect(QRect(0, bandTop + 50, 1112, 3), kAccent);
  Text(p, QRect(24, bandTop + 4, 500, 26), title, 22, true, Qt::white);
  Text(p, QRect(24, bandTop + 28, 1060, 20), subtitle, 12, false, QColor(0xD5, 0xDC, 0xE4));
  p.fillRect(QRect(0, 570, 1112, 78), QColor(0xE4, 0xE8, 0xED));
  p.fillRect(QRect(0, 570, 1112, 1), kLine);
  return img;
}

QImage SmallIcon(int kind) {
  QImage img = Canvas(16, 16, Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  if (kind == 0) {  // folder
    p.setPen(QPen(QColor(0xB0, 0x7A, 0x0A), 1));
    p.setBrush(kAccent.lighter(120));
    p.drawRect(QRectF(1.5, 4.5, 13, 9));
    p.drawRect(QRectF(1.5, 2.5, 6, 2));
  } else {  // a disk: fixed in slate, removable in orange
    const QColor c = kind == 1 ? QColor(0x4A, 0x5D, 0x73) : kAccent;
    p.setPen(QPen(c.darker(140), 1));
    p.setBrush(c);
    p.drawRoundedRect(QRectF(1.5, 4.5, 13, 8), 2, 2);
    p.setBrush(QColor(0x7F, 0xE0, 0x7F));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(11, 9, 2.5, 2.5));
  }
  return img;
}

QImage PreviewCard(const QString& words) {
  QImage img = Canvas(180, 120, kPanel);
  QPainter p(&img);
  p.setPen(QPen(kLine, 1, Qt::DashLine));
  p.drawRect(QRect(0, 0, 179, 119));
  Text(p, QRect(10, 10, 160, 100), words, 13, false, QColor(0x6B, 0x77, 0x85), Qt::AlignCenter);
  return img;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: drawskin <output folder> <qrc file>\n");
    return 2;
  }
  g_out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(g_out);
  bool ok = true;

  {
    QImage img = Page(QStringLiteral("Velmora"),
                      QStringLiteral("Select the disk or partition that held your files, choose a recovery mode, "
                                     "then start the scan."),
                      10);
    QPainter p(&img);
    Text(p, QRect(20, 330, 800, 40), QStringLiteral("Choose a recovery mode"), 17, true, kInk);
    ok &= Save(img, QStringLiteral("product.png"));
  }
  // A frame's picture is also painted behind its plain children from their own top-left corner,
  // so the top-left stretch of the next two pages stays one even colour.
  {
    QImage img = Canvas(1112, 648, kPanel);
    QPainter p(&img);
    p.fillRect(QRect(242, 64, 870, 506), kBody);
    p.fillRect(QRect(241, 0, 1, 570), kLine);
    p.fillRect(QRect(242, 64, 870, 2), kAccent);
    Text(p, QRect(260, 72, 240, 16), QStringLiteral("Preview"), 12, true, kInk);
    p.fillRect(QRect(0, 570, 1112, 78), QColor(0xE4, 0xE8, 0xED));
    p.fillRect(QRect(0, 570, 1112, 1), kLine);
    ok &= Save(img, QStringLiteral("resultview.png"));
  }
  {
    QImage img = Page(QStringLiteral("Lost partitions"),
                      QStringLiteral("The whole disk is searched for lost partitions; each one found can then be scanned."),
                      22);
    QPainter p(&img);
    p.fillRect(QRect(0, 0, 1112, 22), kBody);
    ok &= Save(img, QStringLiteral("seconddisk.png"));
  }
  ok &= Save(Canvas(850, 471, kPanel), QStringLiteral("MainImage.png"));

  struct Mode {
    const char* file;
    int w;
    const char* title;
    const char* line;
    int symbol;
  };
  const Mode modes[] = {
      {"deletedrecovery", 248, "Deleted Recovery", "Files deleted or emptied from the bin", 0},
      {"deeprecovery", 264, "Deep Recovery", "Search every sector by file signature", 1},
      {"volumerecovery", 264, "Volume Recovery", "Formatted or damaged volumes", 2},
      {"lostvolumerecovery", 248, "Lost Partitions", "Find deleted or lost partitions", 3},
  };
  const QColor modeColour(0x2E, 0x5E, 0x8C);
  for (const Mode& m : modes) {
    ok &= Save(ModeButton(m.w, 84, QLatin1String(m.title), QLatin1String(m.line), modeColour, false, m.symbol),
               QLatin1String(m.file) + QStringLiteral(".png"));
    ok &= Save(ModeButton(m.w, 84, QLatin1String(m.title), QLatin1String(m.line), kAccent.darker(110), true,
                          m.symbol),
               QLatin1String(m.file) + QStringLiteral("down.png"));
  }
  const QColor go(0x2E, 0x8B, 0x57);
  ok &= Save(Button(132, 31, QStringLiteral("Start Scan"), go, false, 14), QStringLiteral("startscanbtn.png"));
  ok &= Save(Button(132, 31, QStringLiteral("Start Scan"), go, true, 14), QStringLiteral("startscandown.png"));
  ok &= Save(Button(132, 31, QStringLiteral("Recover"), go, false, 14), QStringLiteral("recovernom.png"));
  ok &= Save(Button(132, 31, QStringLiteral("Recover"), go, true, 14), QStringLiteral("recoverydown.png"));
  ok &= Save(Button(81, 31, QStringLiteral("Home"), QColor(0x4A, 0x5D, 0x73), false, 14),
             QStringLiteral("homeNom.png"));
  ok &= Save(Button(49, 20, QStringLiteral("Stop"), QColor(0xB0, 0x3A, 0x2E), false, 11),
             QStringLiteral("stopbutton.png"));
  {
    QImage img = Canvas(32, 32, Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(kInk);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRect(0, 0, 32, 32), 7, 7);
    Text(p, QRect(0, 0, 32, 32), QStringLiteral("V"), 22, true, kAccent, Qt::AlignCenter);
    ok &= Save(img, QStringLiteral("smallog.png"));
  }
  ok &= Save(PreviewCard(QStringLiteral("No preview for this kind of file")), QStringLiteral("notsupportpreview.png"));
  ok &= Save(PreviewCard(QStringLiteral("The image could not be shown")), QStringLiteral("contact.png"));
  ok &= Save(SmallIcon(0), QStringLiteral("folder.png"));
  ok &= Save(SmallIcon(1), QStringLiteral("Image.png"));
  ok &= Save(SmallIcon(2), QStringLiteral("extImage.png"));

  QFile qrc(QString::fromLocal8Bit(argv[2]));
  if (!qrc.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 1;
  QTextStream out(&qrc);
  out << "<RCC>\n  <qresource prefix=\"/SorbeckRecovery/Skin\">\n";
  for (const QString& name : g_written)
    out << "    <file alias=\"" << name << "\">" << g_out << '/' << name << "</file>\n";
  out << "  </qresource>\n</RCC>\n";
  return ok ? 0 : 1;
}
