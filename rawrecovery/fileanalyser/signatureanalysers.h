// The family of simple analysers: each knows its type by fixed bytes at the start of a
// cluster and ends the file by one rule (a size from the header, an end marker, a zero tail,
// a run of zero clusters, or a small structural rule). Its 27 classes, from CAifAnalyser to
// CPlistAnalyser, live here and in signatureanalysers.cpp because each is a few lines over
// the shared base; an analyser that walks a structure of its own has a file pair of its own.
#pragma once
#include <limits>
#include <memory>
#include <vector>

#include "rawrecovery/rawanalyser.h"

// What the family shares: the end rules and the default answer to another header.
class CSignatureAnalyser : public CRawAnalyser {
 public:
  explicit CSignatureAnalyser(int typeId);

  const char* GetExtension() override { return m_hint.ext; }
  int64_t GetSizeForExtension(const char* ext) override { return SizeFor(ext, GetExtension()); }
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

 protected:
  // SizeFor over every hint-table row of this analyser's type, as the type table lists them.
  int64_t SizeForTypeRows(const char* ext) const;
  // A new file at cb. A size given with state 9 was read from the header, so that file's
  // end is proven; any other start leaves it to be proven later.
  int Begin(const ClusterBuf& cb, int state, int64_t size);
  int EndAt(int64_t offset);
  // r (an answer of an end rule) ended the file at an end the format itself marks.
  int Proven(int r) {
    if (r == AS_ENDED || r == AS_COMPLETE) m_endProven = true;
    return r;
  }
  // The running count reached the row's MaxSize: the file is complete (cut by CheckSize).
  bool CountLimit(const ClusterBuf& cb);
  int EndMarker(const ClusterBuf& cb, const MatchFrame& marker, int k);
  int ZeroTail(const ClusterBuf& cb, int n, int extra = 0);
  // end moved past the line end (CR, LF or both) that follows it in cb, where that is in
  // view: a text format's last line is part of the file.
  int64_t TakeLineEnd(const ClusterBuf& cb, int64_t end) const;
  int ZeroRun(const ClusterBuf& cb, int64_t t);
  // Headers of these TypeIds belong to this file (answer 2 to OnNewHeader).
  void SetAbsorbs(std::initializer_list<int> ids) { m_absorbs.assign(ids); }

  // Formats whose units (pages, chunks, tags, frames) give their own lengths are followed
  // unit by unit from m_unitAt (a byte offset; -1 when no walk runs). UnitHead is asked with
  // the bytes from a unit's first byte on: 1 and *len for a unit of len bytes; 2 and *len
  // when the file ends with that unit; 0 when no unit begins there (the file ends at it);
  // -1 when more bytes are needed than avail; -2 when the walk cannot follow the units (it
  // stops and the file is left to the type's other rules). Heads cut by a unit boundary are
  // joined with the next unit's first bytes.
  virtual int UnitHead(const uint8_t*, int, int64_t, int64_t*) { return 0; }
  int WalkUnits(const ClusterBuf& cb);
  void StartUnits(int64_t at);
  // Ends the file at the head the walk waits for when another head or the device end comes
  // at or after it; -1 when the walk does not decide (the head lies beyond cb).
  int EndAtPendingHead(const ClusterBuf& cb);
  // Whether the walk expects a unit to begin at the first byte of cb.
  bool UnitStartsAt(const ClusterBuf& cb) const { return m_unitAt >= 0 && m_unitAt == ClusterByteOffset(cb); }
  int EndWalk(int64_t at, bool proven);
  int StopUnits();

  int64_t m_unitAt;
  int m_units;        // units walked so far
  bool m_breakProven;  // the end where the units stop is the file's own (all streams closed)
  std::vector<uint8_t> m_head;  // a unit head cut by the last boundary
  int64_t m_headEnd;            // byte offset just after the kept head bytes

  int64_t m_zeroRun;
  std::vector<int> m_absorbs;
  // The last bytes of the unit before, so that an end marker cut by a unit boundary is
  // still found (sector-mode units are only 512 bytes).
  uint8_t m_tail[64];
  int m_tailLen;
  int64_t m_tailEnd;  // byte offset just after the kept bytes
};

// What the analysers' files share besides the base class.
namespace sigfamily {
const int64_t kInt64Max = std::numeric_limits<int64_t>::max();
// The MaxSize of the process-wide hint row of ext; 0 when no row has it.
int64_t MaxSizeOf(const char* ext);
inline const uint8_t* Data(const ClusterBuf& cb) { return cb.GetData(); }
}  // namespace sigfamily

// The tag an audio file may end with, at h: 2 and *len for an ID3v1 block (the file ends with
// it); 1 and *len for an APE tag with its header (an ID3v1 block may follow); 0 none; -1 when
// more bytes are needed to tell.
int AudioTagAt(const uint8_t* h, int avail, int64_t* len);

// The small members of the family, one class per type; the analysers that walk a structure
// of their own have files of their own. Each is constructed with its table row's TypeId.
class CAifAnalyser : public CSignatureAnalyser {
 public:
  CAifAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CAviAnalyser : public CSignatureAnalyser {
 public:
  CAviAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  const char* GetExtension() override;
  int64_t GetSizeForExtension(const char* ext) override;

 private:
  const char* m_found;
};

class CBmpAnalyser : public CSignatureAnalyser {
 public:
  CBmpAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CCrwAnalyser : public CSignatureAnalyser {
 public:
  CCrwAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;

 private:
  int m_pending;
};

class CCwkAnalyser : public CSignatureAnalyser {
 public:
  CCwkAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CDbxAnalyser : public CSignatureAnalyser {
 public:
  CDbxAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CEmlAnalyser : public CSignatureAnalyser {
 public:
  CEmlAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CEmlxAnalyser : public CSignatureAnalyser {
 public:
  CEmlxAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CEpsAnalyser : public CSignatureAnalyser {
 public:
  CEpsAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CHtmlAnalyser : public CSignatureAnalyser {
 public:
  CHtmlAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  const char* GetExtension() override;
  int64_t GetSizeForExtension(const char* ext) override;

 private:
  int m_kind;
};

class CInddAnalyser : public CSignatureAnalyser {
 public:
  CInddAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CMrwAnalyser : public CSignatureAnalyser {
 public:
  CMrwAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CPngAnalyser : public CSignatureAnalyser {
 public:
  CPngAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CPstAnalyser : public CSignatureAnalyser {
 public:
  CPstAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CRafAnalyser : public CSignatureAnalyser {
 public:
  CRafAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CRarAnalyser : public CSignatureAnalyser {
 public:
  CRarAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CRtfAnalyser : public CSignatureAnalyser {
 public:
  CRtfAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;

 private:
  int64_t m_depth;
  bool m_escape;
};

class CSitAnalyser : public CSignatureAnalyser {
 public:
  CSitAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CSitxAnalyser : public CSignatureAnalyser {
 public:
  CSitxAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CSwfAnalyser : public CSignatureAnalyser {
 public:
  CSwfAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CTaxAnalyser : public CSignatureAnalyser {
 public:
  CTaxAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CWmfAnalyser : public CSignatureAnalyser {
 public:
  CWmfAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CXcfAnalyser : public CSignatureAnalyser {
 public:
  CXcfAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CZ7Analyser : public CSignatureAnalyser {
 public:
  CZ7Analyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};

class CAiAnalyser : public CSignatureAnalyser {
 public:
  CAiAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;

 private:
  std::unique_ptr<JointSearch> m_js;
};

class CX3fAnalyser : public CSignatureAnalyser {
 public:
  CX3fAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;

 private:
  std::unique_ptr<JointSearch> m_js;
};

class CPlistAnalyser : public CSignatureAnalyser {
 public:
  CPlistAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};
