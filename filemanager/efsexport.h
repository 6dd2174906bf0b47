// The EFS backup stream of an encrypted NTFS file: the file's EFS metadata and its still
// encrypted $DATA, laid out as the system's raw-import interface takes them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class CEncRunList;

// Where the generator reads a stream's bytes from: 0 with len bytes in buf, or -1.
class IEfsByteSource {
 public:
  virtual int ReadAt(uint64_t offset, void* buf, uint32_t len) = 0;

 protected:
  ~IEfsByteSource() = default;
};

class NtfsEncryptedFile {
 public:
  NtfsEncryptedFile(uint64_t metadataSize, IEfsByteSource* metadata, uint64_t dataSize,
                    IEfsByteSource* data);

  // Hands out the next bytes of the stream, as the import callback does: up to *len bytes
  // into out, *len set to the count; *len 0 marks the end. Returns 0, or -1 when a source
  // read failed or the metadata is too large to describe.
  int Pull(uint8_t* out, uint32_t* len);

  // Writes the stream into a new encrypted file through the system's raw-import interface.
  // Linux has none: after the file's two streams are checked (-1 when one is missing) the
  // answer is 0xEFFFFFFF and nothing is created.
  static int Export(CEncRunList* runs, const char16_t* target);

 private:
  enum Phase { kHeader, kMetadata, kBlockHeader, kBlockData, kBlockPad, kDone };
  bool Advance();

  uint64_t m_metaSize;
  IEfsByteSource* m_meta;
  uint64_t m_dataSize;
  IEfsByteSource* m_data;

  Phase m_phase;
  std::vector<uint8_t> m_header;  // the header being handed out
  size_t m_headerPos;
  uint64_t m_metaPos;
  uint64_t m_dataPos;    // $DATA bytes exported so far
  uint32_t m_blockLen;   // L: real bytes of the current block
  uint32_t m_blockPad;   // D - L: zeros after them
  uint32_t m_blockPos;
  uint32_t m_blocks;     // N
};
