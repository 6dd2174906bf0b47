#include "rawrecovery/fileanalyser/dynanalyser.h"

#include <tinyxml2.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/inc/kestrum_types.h"

namespace {

// The largest frame a user signature may carry, in bytes.
const size_t kMaxFrameBytes = 512;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A whole decimal number within [lo, hi], surrounding white space allowed, nothing else.
bool ParseWhole(const char* text, int64_t lo, int64_t hi, int64_t* out) {
  if (!text) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  while (IsBlank(*end)) ++end;
  if (*end != 0 || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

std::optional<std::vector<uint8_t>> HexToBytes(const char* hex) {
  if (!hex) return std::nullopt;
  const size_t pairs = std::strlen(hex) / 2;
  if (pairs > kMaxFrameBytes) return std::nullopt;
  std::vector<uint8_t> out(pairs, 0);
  // Each pair is read the way a two-character %x conversion reads it: leading blanks are
  // skipped and reading stops at the first character that is not a hex digit.
  for (size_t i = 0; i < pairs; ++i) {
    const char* p = hex + 2 * i;
    const char* stop = p + 2;
    while (p < stop && IsBlank(*p)) ++p;
    unsigned v = 0;
    for (int d; p < stop && (d = HexDigit(*p)) >= 0; ++p) v = v * 16 + unsigned(d);
    out[i] = uint8_t(v);
  }
  return out;
}

// ---------------------------------------------------------------------------------------

CDynSign::CDynSign(const FileHint& row, int size) : m_frames(), m_row(row), m_size(size) {}

int CDynSign::AddFrame(const MatchFrame& frame) {
  if (frame.len() > 0) m_frames.push_back(frame);
  return 0;
}

int CDynSign::Match(const ClusterBuf& cb) const {
  const uint8_t* d = cb.GetData();
  if (!d || cb.cluster_size <= 0) return -1;
  for (const MatchFrame& f : m_frames)
    if (!f.Match(d, cb.cluster_size)) return -1;
  return 0;
}

int CDynOperator::AddSign(const CDynSign& sign) { return m_target ? m_target->AddSign(sign) : -1; }

// ---------------------------------------------------------------------------------------

CDynAnalyser::CDynAnalyser()
    : m_signs(), m_selected(), m_selectedExts(), m_matched(-1), m_operator(nullptr), m_open(false),
      m_fileStart(0), m_fileEnd(0), m_fileState(AS_INITIAL), m_fileSign(-1) {
  m_hint = DynHint();
}

CDynAnalyser::~CDynAnalyser() { delete m_operator; }

int CDynAnalyser::GetOperator(CDynOperator** out) {
  if (!out) return -1;
  if (!m_operator) m_operator = new CDynOperator(this);
  *out = m_operator;
  return 0;
}

int CDynAnalyser::AddSign(const CDynSign& sign) {
  m_signs.push_back(sign);
  m_selected.push_back(m_selectedExts.count(sign.GetFileHint().ext) != 0);
  return 0;
}

void CDynAnalyser::SelectExtension(const char* ext) {
  if (!ext) return;
  m_selectedExts.insert(ext);
  for (size_t i = 0; i < m_signs.size(); ++i)
    if (std::strcmp(m_signs[i].GetFileHint().ext, ext) == 0) m_selected[i] = true;
}

void SelectUserSignatures(CRawAnalyser* dyn, const char* ext) {
  if (CDynAnalyser* d = dynamic_cast<CDynAnalyser*>(dyn)) d->SelectExtension(ext);
}

int CDynAnalyser::CheckHeader(const ClusterBuf& cb) {
  for (size_t i = 0; i < m_signs.size(); ++i) {
    if (!m_selected[i] || m_signs[i].Match(cb) != 0) continue;
    m_matched = int(i);
    m_size = m_signs[i].GetSize();
    m_state = m_size != 0 ? AS_COMPLETE : AS_HEADER;
    m_start = ClusterByteOffset(cb);
    return m_state;
  }
  m_matched = -1;
  m_state = AS_NONE;
  return AS_NONE;
}

int CDynAnalyser::Continue(const ClusterBuf&) {
  // The header test runs on every later cluster as well, so the open file's start is taken
  // only here, on the first cluster after the scanner made this analyser the open file.
  if (!m_open) {
    m_open = true;
    m_fileSign = m_matched;
    m_fileState = m_matched >= 0 ? m_state : AS_INITIAL;
    m_fileStart = m_start;
    m_fileEnd = m_start;
    if (m_fileState == AS_COMPLETE) {
      m_fileEnd = m_fileStart + m_signs[size_t(m_fileSign)].GetSize();
      m_open = false;
      return AS_COMPLETE;
    }
  }
  return AS_NONE;
}

const char* CDynAnalyser::GetExtension() {
  if (m_fileSign < 0 || size_t(m_fileSign) >= m_signs.size()) return DynHint().ext;
  return m_signs[size_t(m_fileSign)].GetFileHint().ext;
}

int64_t CDynAnalyser::GetSizeForExtension(const char* ext) {
  if (!ext || m_fileSign < 0 || size_t(m_fileSign) >= m_signs.size()) return 0;
  const CDynSign& sign = m_signs[size_t(m_fileSign)];
  FileHint row = sign.GetFileHint();
  if (std::strcmp(ext, row.ext) != 0) return 0;
  int64_t v = 0;
  if (m_fileState == AS_ENDED) v = m_fileEnd - m_fileStart;
  else if (m_fileState == AS_COMPLETE) v = sign.GetSize();
  if (v <= 0) return 0;
  return row.CheckSize(v);
}

int CDynAnalyser::OnNewHeader(const FileHint&, const ClusterBuf& cb) {
  m_fileEnd = ClusterByteOffset(cb);
  m_fileState = AS_ENDED;
  m_open = false;
  return AS_ENDED;
}

void CDynAnalyser::GetRange(int64_t* start, int64_t* end) {
  if (start) *start = m_fileStart;
  if (end) *end = m_fileEnd;
}

int CDynAnalyser::GetState() { return m_fileState; }

// ---------------------------------------------------------------------------------------

int CRawAnalyserPool::InitDynAnalyser() {
  CDynAnalyser* dyn = new CDynAnalyser();
  SetDynAnalyser(dyn);
  LoadFileData("filedata.xml", dyn);
  return 0;
}

int CRawAnalyserPool::LoadFileData(const char* path, CDynAnalyser* target) {
  FileHintTable* table = FileHintTable::Instance();
  CDynOperator* op = nullptr;
  if (!target || target->GetOperator(&op) != 0 || !op) return -1;
  if (!path) return tinyxml2::XML_ERROR_FILE_NOT_FOUND;
  tinyxml2::XMLDocument doc;
  tinyxml2::XMLError err = doc.LoadFile(path);
  if (err != tinyxml2::XML_SUCCESS) return int(err);
  tinyxml2::XMLElement* root = doc.FirstChildElement("FileData");
  tinyxml2::XMLElement* file = root ? root->FirstChildElement("File") : nullptr;
  if (!file) return -1;
  for (; file; file = file->NextSiblingElement("File")) {
    const char* ext = file->Attribute("ext");
    int pos = 0;
    const FileHint* row = table->FindNext(ext ? ext : "", &pos);
    if (!row) break;  // an unknown type ends the list; the Files before it stay loaded
    int64_t size = 0;
    if (tinyxml2::XMLElement* sizeEl = file->FirstChildElement("Size")) {
      if (!ParseWhole(sizeEl->GetText(), 0, INT_MAX, &size)) return 2;
    }
    CDynSign sign(*row, int(size));
    bool usable = true;
    for (tinyxml2::XMLElement* s = file->FirstChildElement("Sign"); s; s = s->NextSiblingElement("Sign")) {
      int64_t framePos = 0;
      const char* posText = s->Attribute("POS");
      // A frame at a position the user did not mean would carve wrong files: a File with a
      // position below -1 (or no number at all) is not loaded.
      if (posText && !ParseWhole(posText, -1, INT_MAX, &framePos)) {
        usable = false;
        break;
      }
      const char* text = s->GetText();
      if (!text) continue;  // an empty frame carries no condition
      std::optional<std::vector<uint8_t>> bytes = HexToBytes(text);
      if (!bytes) {
        // A frame cut short would match more than the user wrote: the File is not loaded.
        usable = false;
        break;
      }
      if (bytes->empty()) continue;
      sign.AddFrame(MatchFrame(bytes->data(), int(bytes->size()), int(framePos)));
    }
    // A signature without frames would match every cluster no built-in type takes and turn
    // each of them into a file.
    if (!usable || sign.FrameCount() == 0) continue;
    op->AddSign(sign);
  }
  return 0;
}
