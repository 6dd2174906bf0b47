// The carvable file types: extension, size limits and the analyser class that serves them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

struct FileHint {
  const char* ext;
  const char* description;
  int64_t MinSize;
  int64_t MaxSize;
  int TypeId;

  FileHint() : ext(""), description(""), MinSize(0), MaxSize(0), TypeId(-1) {}
  FileHint(const char* e, const char* d, int64_t minSize, int64_t maxSize, int typeId)
      : ext(e), description(d), MinSize(minSize), MaxSize(maxSize), TypeId(typeId) {}

  // 0 below MinSize, MaxSize above it, else size.
  int64_t CheckSize(int64_t size) const;
};

// The rows that are not in the table: the end-of-scan marker and the user-signature row.
const FileHint& DeviceEndHint();
const FileHint& DynHint();

inline bool SameTypeId(const FileHint& a, const FileHint& b) { return a.TypeId == b.TypeId; }

class FileHintTable {
 public:
  // The process-wide table; the first call applies filehint.xml from the program's folder.
  static FileHintTable* Instance();

  // A table with the built-in rows only (no XML applied).
  FileHintTable();

  // The first row at index >= *pos with this extension; *pos becomes its index + 1.
  FileHint* FindNext(const char* ext, int* pos);
  // The first row with this extension, or null.
  const FileHint* Find(const char* ext);
  // The first row with this TypeId, or null.
  const FileHint* FirstOfType(int typeId) const;

  // 0 done; -1 no FileType/File element; 2 a size that is not a whole number; otherwise the
  // XML reader's error code.
  int LoadXml(const char* path);

  size_t Count() const { return m_rows.size(); }
  const FileHint& Row(size_t i) const { return m_rows[i]; }
  // True when row (one of this table's) had its MinSize set by filehint.xml: a minimum the
  // user asked for, which holds even for files whose structure proves them whole.
  bool MinSizeFromXml(const FileHint* row) const;

 private:
  std::vector<FileHint> m_rows;
  std::vector<bool> m_minFromXml;
};
