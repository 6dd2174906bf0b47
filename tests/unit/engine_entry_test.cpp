// The engine's one export and the scanner factory table.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "memdevice.h"
#include "scanoperate/scanoperator.h"
#include "testutil.h"
#include "scanread.h"

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

// Every row of the factory table builds its scanner, and each scanner names the specific
// kind of its row, which is what a saved result records. A subsystem left out of the
// build would answer null here through its default maker.
TEST(ScannerFactory, EveryKindOfTheTableBuildsItsScanner) {
  testutil::MemDevice dev(std::vector<uint8_t>(1 << 20), 512, 4096);
  dev.SetOwnedByCaller(true);
  const struct {
    int kind, fileSystem, type;
  } rows[] = {
      {Scan_Deleted, FS_FAT16, Scan_DeletedFat16},   {Scan_Deleted, FS_FAT32, Scan_DeletedFat32},
      {Scan_Deleted, FS_NTFS, Scan_DeletedNtfs},     {Scan_Deleted, FS_EXFAT, Scan_DeletedExfat},
      {Scan_Deleted, FS_HFSP, Scan_DeletedHfsp},     {Scan_DeletedFat16, 0, Scan_DeletedFat16},
      {Scan_DeletedFat32, 0, Scan_DeletedFat32},     {Scan_DeletedNtfs, 0, Scan_DeletedNtfs},
      {Scan_DeletedExfat, 0, Scan_DeletedExfat},     {Scan_DeletedHfsp, 0, Scan_DeletedHfsp},
      {Scan_Format, 0, Scan_Format},                 {Scan_FormatFat16, 0, Scan_FormatFat16},
      {Scan_FormatFat32, 0, Scan_FormatFat32},       {Scan_FormatNtfs, 0, Scan_FormatNtfs},
      {Scan_FormatExfat, 0, Scan_FormatExfat},       {Scan_FormatHfsp, 0, Scan_FormatHfsp},
      {Scan_Raw, 0, Scan_Raw},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "kind 0x" << std::hex << row.kind << " fs " << std::dec << row.fileSystem);
    dev.SetFileSystem(row.fileSystem);
    IScanOperator* s = CIScanDeviceFactory::CreateScanner(&dev, row.kind);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->GetScanType(), row.type);
    EXPECT_EQ(s->GetFileManager(), nullptr);  // the factory attaches none
    // Without a results tree there is no file to read or list: an answer, not a crash.
    IFileOP* op = nullptr;
    IFilter* filter = nullptr;
    EXPECT_EQ(s->GetFileOp(nullptr, &op), -1);
    EXPECT_EQ(s->ListFiles(nullptr, nullptr), -1);
    EXPECT_EQ(s->CreateFilter(&filter), -1);
    s->Release();
  }
  // Kind 1 on a file system without a deleted-file scanner, or none at all.
  for (int fs : {0, int(FS_HFS), 3, 1024}) {
    dev.SetFileSystem(fs);
    EXPECT_EQ(CIScanDeviceFactory::CreateScanner(&dev, Scan_Deleted), nullptr) << fs;
  }
}

// The same through the shipped library's one entry, on a disk named by KESTRUM_DISKS:
// every kind gives a scanner and a results tree.
TEST(ScannerFactory, EngineLibraryOffersEveryKind) {
  testutil::TempDir dir;
  std::string path = dir.file("blank.img");
  testutil::WriteFile(path, std::vector<uint8_t>(4 << 20));
  testutil::ScopedEnv disks("KESTRUM_DISKS", path);
  testutil::ScopedEnv vols("KESTRUM_VOLUMES", "");
  void* h = dlopen(KESTRUM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  auto init = reinterpret_cast<InitKestrumFn>(dlsym(h, "InitKestrum"));
  ASSERT_NE(init, nullptr);
  IRecoveryManagement* top = nullptr;
  ASSERT_EQ(init(&top), 0);
  IDevice* devices[100] = {};
  int n = 0;
  top->EnumDevices(devices, &n, 100);
  ASSERT_GE(n, 1);
  ASSERT_NE(devices[0], nullptr);
  const int kinds[] = {Scan_DeletedFat16, Scan_DeletedFat32, Scan_DeletedNtfs, Scan_DeletedExfat,
                       Scan_DeletedHfsp,  Scan_Format,       Scan_FormatFat16, Scan_FormatFat32,
                       Scan_FormatNtfs,   Scan_FormatExfat,  Scan_FormatHfsp,  Scan_Raw};
  for (int kind : kinds) {
    IFileManager* fm = nullptr;
    IScanOperator* so = nullptr;
    ASSERT_EQ(top->CreateScanOperator(devices[0], kind, &fm, &so), 0) << kind;
    ASSERT_NE(so, nullptr);
    ASSERT_NE(fm, nullptr);
    EXPECT_EQ(so->GetFileManager(), fm);
    so->Release();
    fm->Release();
  }
  testutil::ReleaseOwnedDevices(devices, n);
  top->Release();
  // The library stays loaded: its process-wide tables (the file-type hints) live on.
}

// Each construction seam is answered by its subsystem, not by the default that a build
// leaving the subsystem out would fall back on.
TEST(ScannerFactory, EverySeamHasItsMaker) {
  IStorageDevice* facade = CreateStorageDevice();
  ASSERT_NE(facade, nullptr);
  facade->Release();
  IFileManager* fm = CreateFileManager();
  ASSERT_NE(fm, nullptr);
  fm->Release();
  EXPECT_EQ(SaveScanResult(nullptr, u"x", nullptr), RC_FAIL);
  EXPECT_EQ(LoadScanResultRecords(nullptr, nullptr, 0), RC_FAIL);
}
