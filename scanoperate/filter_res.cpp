#include "scanoperate/filter_res.h"

#include <new>
#include <string>

#include "common/inc/ifileinfo.h"
#include "common/inc/kestrum_types.h"
#include "common/timeconv.h"

namespace {

class CNameFilterImp : public IFilterImp {
 public:
  explicit CNameFilterImp(const char16_t* pattern) {
    // Patterns are held to 263 characters, as names are.
    for (size_t i = 0; pattern && pattern[i] && i < MAX_PATH_ZQ - 1; ++i) m_pattern += pattern[i];
  }
  bool Match(IFileInfo* file) override {
    const char16_t* name = file->GetName();
    if (!name) return false;
    if (m_pattern.empty()) return true;
    return std::u16string(name).find(m_pattern) != std::u16string::npos;
  }

 private:
  std::u16string m_pattern;
};

class CSizeFilterImp : public IFilterImp {
 public:
  CSizeFilterImp(int64_t mn, int64_t mx) : m_min(mn), m_max(mx) {}
  bool Match(IFileInfo* file) override {
    uint64_t size = file->GetSize();
    // Sizes above the signed range exceed any signed maximum.
    if (size > uint64_t(INT64_MAX)) return false;
    int64_t s = int64_t(size);
    return m_min <= s && s <= m_max;
  }

 private:
  int64_t m_min, m_max;
};

// Time values are compared as signed 64-bit numbers: a record without a date carries -1.
class CCreateTimeFilterImp : public IFilterImp {
 public:
  CCreateTimeFilterImp(int64_t from, int64_t to) : m_from(from), m_to(to) {}
  bool Match(IFileInfo* file) override {
    int64_t t = int64_t(file->GetCreateTime());
    return m_from <= t && t <= m_to;
  }

 private:
  int64_t m_from, m_to;
};

class CModifyTimeFilterImp : public IFilterImp {
 public:
  CModifyTimeFilterImp(int64_t from, int64_t to) : m_from(from), m_to(to) {}
  bool Match(IFileInfo* file) override {
    int64_t t = int64_t(file->GetModifyTime());
    return m_from <= t && t <= m_to;
  }

 private:
  int64_t m_from, m_to;
};

// Records carry no type or status to test: these two hold their value and accept every file.
class CFileTypeFilterImp : public IFilterImp {
 public:
  explicit CFileTypeFilterImp(int type) : m_type(type) {}
  bool Match(IFileInfo*) override { return true; }

 private:
  int m_type;
};

class CFileStatusFilterImp : public IFilterImp {
 public:
  explicit CFileStatusFilterImp(int status) : m_status(status) {}
  bool Match(IFileInfo*) override { return true; }

 private:
  int m_status;
};

class CFileValidityFilterImp : public IFilterImp {
 public:
  explicit CFileValidityFilterImp(uint32_t minimum) : m_min(minimum) {}
  bool Match(IFileInfo* file) override { return file->GetValidity() >= m_min; }

 private:
  uint32_t m_min;
};

}  // namespace

CSDK2Filter::~CSDK2Filter() { Clear(); }

bool CSDK2Filter::Match(IFileInfo* file) {
  ZQ_ASSERT(file != NULL);
  if (!file) return false;
  for (IFilterImp* c : m_criteria)
    if (!c->Match(file)) return false;
  return true;
}

int CSDK2Filter::Add(IFilterImp* criterion) {
  if (!criterion) return RC_NO_MEMORY;
  m_criteria.push_back(criterion);
  return 0;
}

int CSDK2Filter::AddName(const char16_t* pattern) { return Add(new (std::nothrow) CNameFilterImp(pattern)); }

int CSDK2Filter::AddSize(int64_t min, int64_t max) { return Add(new (std::nothrow) CSizeFilterImp(min, max)); }

int CSDK2Filter::AddCreateTime(int y1, int m1, int d1, int y2, int m2, int d2) {
  return Add(new (std::nothrow)
                 CCreateTimeFilterImp(MakeLocalTime(y1, m1, d1, 0, 0, 0), MakeLocalTime(y2, m2, d2, 23, 59, 59)));
}

int CSDK2Filter::AddModifyTime(int y1, int m1, int d1, int y2, int m2, int d2) {
  return Add(new (std::nothrow)
                 CModifyTimeFilterImp(MakeLocalTime(y1, m1, d1, 0, 0, 0), MakeLocalTime(y2, m2, d2, 23, 59, 59)));
}

int CSDK2Filter::AddFileType(int type) { return Add(new (std::nothrow) CFileTypeFilterImp(type)); }

int CSDK2Filter::AddValidity(uint32_t minPercent) { return Add(new (std::nothrow) CFileValidityFilterImp(minPercent)); }

int CSDK2Filter::AddStatus(int status) { return Add(new (std::nothrow) CFileStatusFilterImp(status)); }

void CSDK2Filter::Clear() {
  for (IFilterImp* c : m_criteria) delete c;
  m_criteria.clear();
}
