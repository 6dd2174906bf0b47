// The built-in carving types as one table: for each TypeId the extensions of its hint-table
// rows, the bytes its headers can begin with and the class that serves it. The pool and the
// factory read only this table, so a type without an analyser cannot be pooled by mistake.
// The table itself lives with the analysers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>

class CRawAnalyser;

// A set of byte values, built at compile time.
struct ByteSet {
  uint64_t bits[4];

  constexpr bool Has(int b) const { return ((bits[(b & 0xff) >> 6] >> (b & 63)) & 1) != 0; }
  constexpr ByteSet With(int b) const {
    ByteSet s = *this;
    s.bits[(b & 0xff) >> 6] |= uint64_t(1) << (b & 63);
    return s;
  }
  constexpr ByteSet Inverse() const { return ByteSet{{~bits[0], ~bits[1], ~bits[2], ~bits[3]}}; }
  constexpr bool Full() const { return (bits[0] & bits[1] & bits[2] & bits[3]) == ~uint64_t(0); }
};

constexpr ByteSet AnyByte() { return ByteSet{{~uint64_t(0), ~uint64_t(0), ~uint64_t(0), ~uint64_t(0)}}; }
constexpr ByteSet Bytes(std::initializer_list<int> bytes) {
  ByteSet s{{0, 0, 0, 0}};
  for (int b : bytes) s = s.With(b);
  return s;
}
constexpr ByteSet ByteRange(int lo, int hi) {
  ByteSet s{{0, 0, 0, 0}};
  for (int b = lo; b <= hi; ++b) s = s.With(b);
  return s;
}

// The code of a carving type: the TypeId of the hint-table rows and of the pool's analysers
// (0 the device row, 1 JPEG, 2 compound files, 3 ZIP, ...).
typedef int FileTypeId;

struct AnalyserType {
  FileTypeId typeId;
  // The extensions of the hint-table rows of this TypeId, '/'-separated, in table order;
  // empty for a class that no row selects.
  const char* exts;
  // The first bytes its headers can have: the pool asks the type's prototype only on units
  // that begin with one of them, so a unit costs a few comparisons.
  ByteSet first;
  CRawAnalyser* (*make)();
};

// The built-in types in rising TypeId order, *count of them.
const AnalyserType* AnalyserTypes(size_t* count);
// The entry of typeId, or null for a code no class has.
const AnalyserType* FindAnalyserType(FileTypeId typeId);
