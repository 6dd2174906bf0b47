// Reads one found file for the preview off the GUI thread, so a slow disk cannot freeze the window.
#pragma once
#include <QByteArray>
#include <QThread>

class IScanOperator;
class IFileInfo;

class PreviewReader : public QThread {
  Q_OBJECT
 public:
  // Larger files are not previewed: the whole file is held in memory to be decoded.
  static const uint64_t kMaxPreviewBytes = 32ull << 20;

  PreviewReader(IScanOperator* scanner, IFileInfo* file, quint64 token)
      : m_scanner(scanner), m_file(file), m_token(token) {}
  quint64 Token() const { return m_token; }
  // 0: read whole; 1: too large; 2: no reader; 3: read cut short; 4: no memory.
  int Outcome() const { return m_outcome; }
  const QByteArray& Data() const { return m_data; }

 protected:
  void run() override;

 private:
  IScanOperator* m_scanner;
  IFileInfo* m_file;
  quint64 m_token;
  int m_outcome = 2;
  QByteArray m_data;
};
