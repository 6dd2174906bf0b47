// The engine's one export and the scanner factory table.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "common/inc/irecoverymanagement.h"
#include "scanoperate/scanoperator.h"

TEST(EngineEntry, LibraryExportsOnlyInitKestrum) {
  std::string cmd = std::string("nm -D --defined-only '") + KESTRUM_LIBRARY_PATH + "'";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[1024];
  std::set<std::string> names;
  while (fgets(line, sizeof line, p)) {
    std::string l = line;
    size_t sp = l.rfind(' ');
    std::string name = l.substr(sp + 1);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    // Linker-made section markers are not engine symbols.
    if (l.find(" A ") != std::string::npos) continue;
    names.insert(name);
  }
  pclose(p);
  EXPECT_EQ(names, std::set<std::string>{"InitKestrum"});

  void* h = dlopen(KESTRUM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  auto init = reinterpret_cast<InitKestrumFn>(dlsym(h, "InitKestrum"));
  ASSERT_NE(init, nullptr);
  IRecoveryManagement* a = nullptr;
  IRecoveryManagement* b = nullptr;
  ASSERT_EQ(init(&a), 0);
  ASSERT_EQ(init(&b), 0);
  EXPECT_NE(a, b);
  // A null device is refused before any facade is made.
  IFileManager* fm = nullptr;
  IScanOperator* so = nullptr;
  EXPECT_EQ(a->CreateScanOperator(nullptr, 1, &fm, &so), 100);
  EXPECT_EQ(a->SearchPartitions(nullptr, 3, nullptr), -1);
  a->Release();
  b->Release();
  dlclose(h);
}

TEST(ScannerFactory, UnknownKindsGiveNoScanner) {
  for (int kind : {0, 2, 7, 0x200, 0x101, 0x20000, -1, 0x10001})
    EXPECT_EQ(CIScanDeviceFactory::CreateScanner(nullptr, kind), nullptr) << kind;
}

TEST(ScannerFactory, ParamBaseDoesNothing) {
  struct Plain : IScanParam {} plain;
  EXPECT_EQ(plain.SetValue(5), 0);
  EXPECT_EQ(plain.AddFileType("jpg"), 0);
  EXPECT_EQ(plain.SetRange(0, 10), 0);
  EXPECT_EQ(plain.SetSkipUsedClusters(true), 0);
  EXPECT_EQ(plain.SetScanMode(2), 0);
  EXPECT_EQ(plain.Enable(), 0);
  CScanParam p;
  EXPECT_EQ(p.SetValue(7), 0);
  EXPECT_EQ(p.GetValue(), 7);
}

TEST(DeviceCodes, PartitionTypeAndFileSystemMaps) {
  EXPECT_EQ(PartitionTypeToFsType(0x01), 0);
  EXPECT_EQ(PartitionTypeToFsType(0x0C), 0);
  EXPECT_EQ(PartitionTypeToFsType(0x16), 1);
  EXPECT_EQ(PartitionTypeToFsType(0x17), 4);
  EXPECT_EQ(PartitionTypeToFsType(0x1B), 2);
  EXPECT_EQ(PartitionTypeToFsType(0xBF), 512);
  EXPECT_EQ(PartitionTypeToFsType(0xC0), 256);
  EXPECT_EQ(PartitionTypeToFsType(0xDA), 0);
  EXPECT_EQ(FsTypeToPartitionType(128), 0xAFu);
  EXPECT_EQ(FsTypeToPartitionType(512), 0xAFu);
  EXPECT_EQ(FsTypeToPartitionType(256), 0xB0u);
  EXPECT_EQ(FsTypeToPartitionType(3), 0u);
}
