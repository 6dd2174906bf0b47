// The contract between the raw scanner and the per-type analysers, the helpers they share,
// and the pool that holds one prototype per selected type.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "rawrecovery/analysertype.h"
#include "rawrecovery/filehint.h"
#include "rawrecovery/clusterfile.h"
#include "rawrecovery/frame.h"
#include "rawrecovery/jointsearch.h"

// Answers of an analyser; bit 0 decides (header found / file finished).
enum AnalyserState : int {
  AS_NONE = 0,
  AS_INITIAL = 1,
  AS_ABSORB = 2,
  AS_HEADER = 3,
  AS_ENDED = 5,
  AS_COMPLETE = 9,
  AS_GIVEN_UP = 17,
};

inline bool Decides(int answer) { return (answer & 1) != 0; }

class CRawAnalyser {
 public:
  CRawAnalyser();
  virtual ~CRawAnalyser();

  virtual int CheckHeader(const ClusterBuf& cb) = 0;
  virtual int Continue(const ClusterBuf& cb) = 0;
  virtual const char* GetExtension() = 0;
  virtual int64_t GetSizeForExtension(const char* ext) = 0;
  virtual int OnNewHeader(const FileHint& other, const ClusterBuf& cb) = 0;
  virtual void GetRange(int64_t* start, int64_t* end);
  virtual int GetState();

  const FileHint& Hint() const { return m_hint; }
  // Whether the file's end came from its own structure, and the length found (end - start
  // once ended, the size once complete, else 0).
  bool EndProven() const { return m_endProven; }
  int64_t FoundLength() const { return m_state == AS_ENDED ? m_end - m_start : m_state == AS_COMPLETE ? m_size : 0; }

 protected:
  // Takes the first table row of typeId as this analyser's own.
  void TakeRow(int typeId);
  // The value a finished file has (end - start in state 5, size in state 9, else 0), passed
  // through the size limits of the table row of ext when ext is one of `exts` (separated by
  // '/'); else 0.
  int64_t SizeFor(const char* ext, const char* exts) const;
  // v through row's limits. A file whose end was proven is kept below the built-in minimum
  // (a 4 KiB document is ordinary); a minimum set in filehint.xml and the maximum still hold.
  int64_t LimitSize(const FileHint& row, int64_t v) const;

  int64_t m_start;
  int64_t m_end;
  int64_t m_size;
  int m_state;
  // Set when the file's end was read from its own structure (an end record, a size field,
  // a box or chunk walk) rather than guessed or bounded; such a file is whole whatever the
  // table's minimum says. Cleared with every new header, and whenever the file is ended by
  // another header, the count limit or a zero run instead.
  bool m_endProven;
  FileHint m_hint;
};

int64_t ClusterByteOffset(const ClusterBuf& cb);
bool IsAllZero(const void* p, size_t len);
// The first 512-byte sector of cb whose last n bytes are zero; pos is set just after the
// last non-zero byte before those zeros (never before that sector's start).
bool FindZeroTail(const ClusterBuf& cb, unsigned* pos, int n);
// True when offset is sector-aligned, or when the rest of its sector (bytes from p, at most
// avail of them held) is zero.
bool IsSectorTailZero(const uint8_t* p, size_t avail, int64_t offset);
FileHint GetAnalyserHint(const CRawAnalyser* a);
// The row of ext in the process-wide table (so filehint.xml limits apply), or null.
const FileHint* TableRow(const char* ext);
// The MaxSize of ext's row, 0 when the table has no such row.
int64_t TableMaxSize(const char* ext);
// True when count has reached the MaxSize of every one of the rows.
bool ReachedAllMaxSizes(int64_t count, std::initializer_list<const char*> rows);

class CDynAnalyser;

// Makes a new analyser of one of the built-in types (the type table's), or null for a code
// no class has.
CRawAnalyser* CreateTypeAnalyser(int typeId);
// Lets the user signatures of ext take part in the header tests of dyn (the pool's shared
// user-signature analyser); nothing for any other analyser.
void SelectUserSignatures(CRawAnalyser* dyn, const char* ext);

class CRawAnalyserPool {
 public:
  CRawAnalyserPool();
  ~CRawAnalyserPool();
  CRawAnalyserPool(const CRawAnalyserPool&) = delete;
  CRawAnalyserPool& operator=(const CRawAnalyserPool&) = delete;

  CRawAnalyser* CreateAnalyser(int typeId);
  bool AddAnalyser(const FileHint& row);
  CRawAnalyser* DetectAnalyser(const ClusterBuf& cb);
  void ReleaseAnalyser(CRawAnalyser*& a);
  int GetCount() const { return int(m_prototypes.size()); }
  CRawAnalyser* Prototype(int i) const { return m_prototypes[size_t(i)]; }

  // Hands the shared user-signature analyser to the pool (owned from then on).
  void SetDynAnalyser(CRawAnalyser* dyn);
  CRawAnalyser* GetDynAnalyser() const { return m_dyn; }
  // Makes the shared user-signature analyser and loads "filedata.xml" from the current
  // folder into it.
  int InitDynAnalyser();
  // 0 done; -1 no FileData/File element; 2 a Size that is not a whole number from 0 to
  // INT_MAX; otherwise the XML reader's error code.
  int LoadFileData(const char* path, CDynAnalyser* target);

 private:
  void RebuildDispatch();

  std::vector<CRawAnalyser*> m_prototypes;
  CRawAnalyser* m_dyn;
  // For each possible first byte, the prototype indices (pool order) that may start there.
  std::vector<uint16_t> m_dispatch[256];
};
