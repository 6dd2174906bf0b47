// TIFF-based pictures and camera raws: the image file directories are walked and the file is
// sized from the data they point to.
#pragma once
#include <memory>
#include <set>
#include <vector>

#include "common/inc/bytes.h"
#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CTiffAnalyser : public CSignatureAnalyser {
 public:
  CTiffAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;
  const char* GetExtension() override;
  int64_t GetSizeForExtension(const char* ext) override;

  struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
    uint8_t raw[4];
  };

 private:
  // Fields in the file's byte order, read inside v; false when they do not fit.
  bool U16(const kbytes::ByteView& v, size_t off, uint16_t* out) const;
  bool U32(const kbytes::ByteView& v, size_t off, uint32_t* out) const;
  bool Parse(const kbytes::ByteView& v, size_t off, Entry* e) const;
  // Bytes of the file at [off, off + len) that are held, copied to dst; never zeros for
  // clusters not seen yet.
  int ReadAt(int64_t off, void* dst, int len);
  // 1 read (offsets appended), 0 not held yet.
  int ReadOffsets(const Entry& e, std::vector<int64_t>* out);
  void MakerTest(const Entry& e);
  int ComputeSize();
  int Walk();
  int Step();
  void TakeEntries(const kbytes::ByteView& v, int n);
  void SetIfd(int64_t off);

  int m_be;
  int64_t m_ifd;
  int m_left;
  int64_t m_maxIfdEnd;
  bool m_sub;
  unsigned m_flags;
  int64_t m_count;
  int64_t m_held;
  std::vector<uint32_t> m_queue;
  std::vector<Entry> m_entries;
  std::vector<Entry> m_pending;
  std::set<int64_t> m_visited;
  std::unique_ptr<ClusterFile> m_cf;
  char m_ext[100];
};
