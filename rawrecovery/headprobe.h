// Asks the carving analysers about a file named by a directory entry: do these bytes begin a
// file of its kind, and where does such a file prove that it ends. The file-system readers
// use it to tell which old layout puts the named files at their heads; the answers are the
// analysers' own header tests and end walks, so there is no second list of signatures.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

class CRawAnalyser;

namespace kraw {

// The bytes a header test is shown: enough for every analyser's header check.
const uint32_t kHeadBytes = 4096;

// The built-in carving type that serves files with this name's extension (the hint table's
// rows, so filehint.xml applies), or 0 when no analyser knows the extension.
int TypeOfName(const char16_t* name);
int TypeOfExtension(const char* ext);

class HeadProbe {
 public:
  HeadProbe();
  ~HeadProbe();
  HeadProbe(const HeadProbe&) = delete;
  HeadProbe& operator=(const HeadProbe&) = delete;

  // True when data begins a file of typeId by that type's analyser. Fewer than kHeadBytes
  // bytes are padded with zeros.
  bool Begins(int typeId, const uint8_t* data, size_t len);
  // Every type whose header test takes data (at least kHeadBytes bytes), of the types whose
  // heads can begin with data's first byte; appended to *types.
  void Heads(const uint8_t* data, std::vector<int>* types);

  // Reads len bytes at offset (relative to the file's first byte); false when it cannot.
  typedef std::function<bool(uint64_t offset, uint8_t* buf, uint32_t len)> Reader;
  // Walks a file of typeId laid out contiguously from its first byte, as the raw scanner
  // would, and answers the length its own structure proves (an end record, a size field, a
  // box walk); -1 when the analyser finds no head, ends by a guess or a bound, or passes
  // limit bytes.
  int64_t ProvenLength(int typeId, const Reader& read, uint64_t limit);

 private:
  CRawAnalyser* Prototype(int typeId);
  std::map<int, std::unique_ptr<CRawAnalyser>> m_protos;
  std::vector<int> m_byFirst[256];
  bool m_dispatchBuilt = false;
  std::vector<uint8_t> m_pad;
};

}  // namespace kraw
