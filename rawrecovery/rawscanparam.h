// The parameter object of the raw signature scan: what the desktop program sets before the
// scan (file types, byte range, used-cluster skip, mode), handed on to the scanner that owns it.
#pragma once
#include <cstdint>

#include "scanoperate/scanoperator.h"

class CRawRecover;

class CRawScanParam : public IScanParam {
 public:
  explicit CRawScanParam(CRawRecover* owner);
  virtual ~CRawScanParam() {}
  int AddFileType(const char* ext) override;
  int SetRange(int64_t start, int64_t end) override;
  int SetSkipUsedClusters(bool skip) override;
  int SetScanMode(int mode) override;

 private:
  CRawRecover* m_owner;
};
