// User-defined signatures: byte frames from "filedata.xml" that start files of a built-in
// file type where no built-in analyser recognises the cluster.
#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "rawrecovery/rawanalyser.h"

// One user signature: frames that must all be present in a cluster, the table row it files
// its files under and an optional fixed size (0 = none).
class CDynSign {
 public:
  CDynSign(const FileHint& row, int size);

  // Appends a copy; a zero-length frame can never match and is dropped.
  int AddFrame(const MatchFrame& frame);
  FileHint GetFileHint() const { return m_row; }
  int GetSize() const { return m_size; }
  size_t FrameCount() const { return m_frames.size(); }
  // 0 when every frame matches cb, -1 at the first one that does not.
  int Match(const ClusterBuf& cb) const;

 private:
  std::vector<MatchFrame> m_frames;
  FileHint m_row;
  int m_size;
};

class IDynOperator {
 public:
  virtual int AddSign(const CDynSign& sign) = 0;
};

class CDynAnalyser;

class CDynOperator : public IDynOperator {
 public:
  explicit CDynOperator(CDynAnalyser* target) : m_target(target) {}
  int AddSign(const CDynSign& sign) override;
  virtual ~CDynOperator() {}

 private:
  CDynAnalyser* m_target;
};

// The pool's one shared user-signature analyser (TypeId 100, the "dyn" row). The pool asks it
// for a header on every cluster, so the base fields always hold the last header test; the
// open file keeps its own copy, taken when the scanner activates it.
class CDynAnalyser : public CRawAnalyser {
 public:
  CDynAnalyser();
  ~CDynAnalyser() override;
  CDynAnalyser(const CDynAnalyser&) = delete;
  CDynAnalyser& operator=(const CDynAnalyser&) = delete;

  int GetOperator(CDynOperator** out);
  int AddSign(const CDynSign& sign);
  // Only signatures of selected extensions are tested: a signature of a type the user did
  // not ask for would otherwise end the selected files open around it.
  void SelectExtension(const char* ext);
  size_t SignCount() const { return m_signs.size(); }
  const CDynSign& Sign(size_t i) const { return m_signs[i]; }

  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  const char* GetExtension() override;
  int64_t GetSizeForExtension(const char* ext) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;
  void GetRange(int64_t* start, int64_t* end) override;
  int GetState() override;

 private:
  std::vector<CDynSign> m_signs;
  std::vector<bool> m_selected;  // per signature
  std::set<std::string> m_selectedExts;
  int m_matched;
  CDynOperator* m_operator;
  bool m_open;
  int64_t m_fileStart;
  int64_t m_fileEnd;
  int m_fileState;
  int m_fileSign;
};

// The bytes of a hex text, two characters per byte (an odd last character is ignored); no
// value for a null text or one of more than 512 bytes.
std::optional<std::vector<uint8_t>> HexToBytes(const char* hex);
