// Filters over found files: a conjunction of criteria tested in the order they were added.
#pragma once
#include <cstdint>
#include <vector>

#include "common/inc/ifilter.h"

class IFilterImp {
 public:
  virtual ~IFilterImp() {}
  virtual bool Match(IFileInfo* file) = 0;
};

class CSDK2Filter : public IFilter {
 public:
  CSDK2Filter() = default;
  ~CSDK2Filter() override;
  CSDK2Filter(const CSDK2Filter&) = delete;
  CSDK2Filter& operator=(const CSDK2Filter&) = delete;

  bool Match(IFileInfo* file) override;
  int AddName(const char16_t* pattern) override;
  int AddSize(int64_t min, int64_t max) override;
  int AddCreateTime(int y1, int m1, int d1, int y2, int m2, int d2) override;
  int AddModifyTime(int y1, int m1, int d1, int y2, int m2, int d2) override;
  int AddFileType(int type) override;
  int AddValidity(uint32_t minPercent) override;
  int AddStatus(int status) override;
  void Clear() override;

 private:
  int Add(IFilterImp* criterion);
  std::vector<IFilterImp*> m_criteria;
};
