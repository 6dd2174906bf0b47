#pragma once
#include <cstdint>

class IFileInfo;

// A conjunction of criteria over found files.
class IFilter {
 public:
  virtual ~IFilter() {}
  virtual bool Match(IFileInfo* file) = 0;
  virtual int AddName(const char16_t* pattern) = 0;
  virtual int AddSize(int64_t min, int64_t max) = 0;
  virtual int AddCreateTime(int y1, int m1, int d1, int y2, int m2, int d2) = 0;
  virtual int AddModifyTime(int y1, int m1, int d1, int y2, int m2, int d2) = 0;
  virtual int AddFileType(int type) = 0;
  virtual int AddValidity(uint32_t minPercent) = 0;
  virtual int AddStatus(int status) = 0;
  virtual void Clear() = 0;
};
