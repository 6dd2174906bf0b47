#include "rawrecovery/rawscanparam.h"

#include "common/inc/kestrum_types.h"
#include "rawrecovery/rawrecover.h"

CRawScanParam::CRawScanParam(CRawRecover* owner) : m_owner(owner) { ZQ_ASSERT(owner); }

int CRawScanParam::AddFileType(const char* ext) {
  if (!m_owner || !ext) return -1;
  return m_owner->AddFileType(ext) ? 1 : 0;
}

int CRawScanParam::SetRange(int64_t start, int64_t end) { return m_owner ? m_owner->SetRange(start, end) : -1; }

int CRawScanParam::SetSkipUsedClusters(bool skip) {
  return m_owner ? int(m_owner->SetSkipUsedClusters(skip)) : -1;
}

int CRawScanParam::SetScanMode(int mode) { return m_owner ? m_owner->SetScanMode(mode) : -1; }
