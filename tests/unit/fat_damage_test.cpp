// What Deleted and Volume Recovery give back from small FAT16 and FAT32 volumes that were
// never formatted again, damaged here one way at a time (root folder gone, a folder entry
// pointing at the root, a FAT entry pointing past the volume, boot sectors gone), and from the
// same volumes formatted again with the same and with another layout. The fixtures are made
// by tests/fixtures/make_fat_damage.sh; every row also fails on any file with wrong bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "damagematrix.h"
#include "filesystems/fatentry.h"

namespace {

using testutil::DamageImage;
using testutil::DamageRow;

struct Volume {
  fat::FatGeometry g;
  bool fat32 = false;
};

bool ReadVolume(const DamageImage& img, Volume* v) {
  std::vector<uint8_t> boot = img.Bytes(0, 512);
  if (boot.empty()) return false;
  for (fat::FatKind kind : {fat::kFat16, fat::kFat32}) {
    if (fat::ParseFatBoot(boot.data(), boot.size(), kind, img.size(), &v->g) == 0) {
      v->fat32 = kind == fat::kFat32;
      return true;
    }
  }
  return false;
}

uint32_t FatEntry(const DamageImage& img, const Volume& v, uint32_t c) {
  std::vector<uint8_t> e = img.Bytes(v.g.fatOffset + uint64_t(c) * (v.fat32 ? 4 : 2), v.fat32 ? 4 : 2);
  if (e.empty()) return 0;
  return v.fat32 ? kbytes::Le32(e.data()) & 0x0FFFFFFFu : kbytes::Le16(e.data());
}

// Every copy of the FAT alike.
bool SetFatEntry(DamageImage& img, const Volume& v, uint32_t c, uint32_t value) {
  uint8_t e[4];
  kbytes::PutLe32(e, value);
  for (uint32_t k = 0; k < v.g.numFats; ++k)
    if (!img.Write(v.g.fatOffset + k * v.g.fatBytes + uint64_t(c) * (v.fat32 ? 4 : 2), e, v.fat32 ? 4 : 2))
      return false;
  return true;
}

std::vector<uint32_t> Chain(const DamageImage& img, const Volume& v, uint32_t first) {
  std::vector<uint32_t> out;
  for (uint32_t c = first; v.g.IsDataCluster(c) && out.size() <= v.g.clusterCount; c = FatEntry(img, v, c))
    out.push_back(c);
  return out;
}

// A folder's bytes in directory order: the FAT16 fixed root (cluster 0), else its chain.
std::vector<std::pair<uint64_t, uint64_t>> FolderPieces(const DamageImage& img, const Volume& v,
                                                        uint32_t first) {
  if (first == 0 && !v.fat32) return {{v.g.rootDirOffset, v.g.rootDirBytes}};
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (uint32_t c : Chain(img, v, first)) out.push_back({v.g.ClusterOffset(c), v.g.clusterBytes});
  return out;
}

// The short entry of a file or folder by its path of long names: its byte offset and first
// cluster.
bool FindEntry(const DamageImage& img, const Volume& v, const std::string& path, uint64_t* at,
               uint32_t* first) {
  uint32_t folder = v.fat32 ? v.g.rootCluster : 0;
  size_t from = 0;
  while (from < path.size()) {
    size_t slash = path.find('/', from);
    std::string want = path.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
    from = slash == std::string::npos ? path.size() : slash + 1;
    auto pieces = FolderPieces(img, v, folder);
    fat::FatDirParser parser(v.g.kind);
    bool found = false;
    size_t base = 0;  // entries of the pieces before this one
    for (const auto& piece : pieces) {
      std::vector<uint8_t> bytes = img.Bytes(piece.first, size_t(piece.second));
      if (bytes.empty()) return false;
      parser.Feed(bytes.data(), bytes.size(), [&](const fat::FatDirItem& it) {
        if (it.deleted || std::string(it.name.begin(), it.name.end()) != want) return true;
        size_t index = it.entryIndex - base;
        *at = piece.first + index * fat::kEntrySize;
        *first = it.firstCluster;
        found = true;
        return false;
      });
      if (found) break;
      base += bytes.size() / fat::kEntrySize;
    }
    if (!found) return false;
    folder = *first;
  }
  return true;
}

bool RootGone(DamageImage& img) {
  Volume v;
  if (!ReadVolume(img, &v)) return false;
  bool ok = true;
  for (const auto& piece : FolderPieces(img, v, v.fat32 ? v.g.rootCluster : 0))
    ok = ok && img.Zero(piece.first, piece.second);
  return ok;
}

bool RootRandom(DamageImage& img) {
  Volume v;
  if (!ReadVolume(img, &v)) return false;
  bool ok = true;
  uint32_t seed = 7;
  for (const auto& piece : FolderPieces(img, v, v.fat32 ? v.g.rootCluster : 0)) {
    std::vector<uint8_t> noise(size_t(piece.second));
    for (uint8_t& b : noise) b = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
    ok = ok && img.Write(piece.first, noise.data(), noise.size());
  }
  return ok;
}

// The folder entry's first cluster names the root instead of the folder.
bool PointAtRoot(DamageImage& img, const std::string& path) {
  Volume v;
  uint64_t at = 0;
  uint32_t first = 0;
  if (!ReadVolume(img, &v) || !FindEntry(img, v, path, &at, &first)) return false;
  uint8_t lo[2], hi[2] = {0, 0};
  kbytes::PutLe16(lo, uint16_t(v.fat32 ? v.g.rootCluster : 0));
  return img.Write(at + 20, hi, 2) && img.Write(at + 26, lo, 2);
}

// The FAT entry halfway along a contiguous file's chain names a cluster past the volume's
// end. With claimed set, another file's chain is made to lead into the clusters after the
// break as well.
bool BreakChain(DamageImage& img, const std::string& path, const std::string& claimedBy = "") {
  Volume v;
  uint64_t at = 0;
  uint32_t first = 0;
  if (!ReadVolume(img, &v) || !FindEntry(img, v, path, &at, &first)) return false;
  std::vector<uint32_t> chain = Chain(img, v, first);
  if (chain.size() < 4 || chain.back() - chain.front() + 1 != chain.size()) return false;
  const size_t k = chain.size() / 2;
  if (!SetFatEntry(img, v, chain[k], v.g.maxCluster + 100)) return false;
  if (claimedBy.empty()) return true;
  uint32_t other = 0;
  if (!FindEntry(img, v, claimedBy, &at, &other)) return false;
  std::vector<uint32_t> tail = Chain(img, v, other);
  return !tail.empty() && SetFatEntry(img, v, tail.back(), chain[k + 1]);
}

// The first cluster of a folder zeroed: its "." entries and the entries there are gone.
bool FolderHeadGone(DamageImage& img, const std::string& path) {
  Volume v;
  uint64_t at = 0;
  uint32_t first = 0;
  return ReadVolume(img, &v) && FindEntry(img, v, path, &at, &first) && v.g.IsDataCluster(first) &&
         img.Zero(v.g.ClusterOffset(first), v.g.clusterBytes);
}

bool BootGone(DamageImage& img) { return img.Zero(0, 512); }
bool BootsGone(DamageImage& img) { return img.Zero(0, 512) && img.Zero(6 * 512, 512); }

DamageRow Row(const std::string& name, const std::string& image, const std::string& manifest,
              std::function<bool(DamageImage&)> damage, int kind, int exact, int elsewhere) {
  DamageRow r;
  r.name = name;
  r.image = image + ".img";
  r.manifest = manifest;
  r.damage = std::move(damage);
  r.kind = kind;
  r.exact = exact;
  r.elsewhere = elsewhere;
  return r;
}

// Both scans of one damage: Deleted Recovery (kind 1) and Volume Recovery (0x100), each
// pinned as exact files at their own paths and exact files elsewhere.
void Both(std::vector<DamageRow>* rows, const std::string& name, const std::string& image,
          const std::string& manifest, std::function<bool(DamageImage&)> damage, int deletedExact,
          int deletedElsewhere, int volumeExact, int volumeElsewhere) {
  rows->push_back(Row(name + "_deleted", image, manifest, damage, 1, deletedExact, deletedElsewhere));
  rows->push_back(Row(name + "_volume", image, manifest, damage, 0x100, volumeExact, volumeElsewhere));
}

std::vector<DamageRow> FatRows() {
  std::vector<DamageRow> rows;
  // fatd16 and fatd32: 36 files in 8 folders, 4 of them deleted (one with its folder). A
  // scan of the deleted files finds those 4; Volume Recovery all 36. PHOTOS and pic1 span
  // several clusters, pic1's far apart: every file of theirs stays in its folder.
  for (const char* base : {"fatd16", "fatd32"}) {
    const std::string b = base;
    const bool fat32 = b == "fatd32";
    Both(&rows, b, b, b, nullptr, 4, 0, 36, 0);
    // The names of the root's folders are gone with it: their files come back whole under
    // "Lost Location", each folder as one.
    Both(&rows, b + "_root_gone", b, b, RootGone, 0, 1, 0, 36);
    Both(&rows, b + "_root_random", b, b, RootRandom, 0, fat32 ? 1 : 0, 0, 36);
    // The folder whose entry names the root: the folder that no entry names any longer is
    // the one, and keeps its name. The scan of deleted files cannot reach it.
    Both(
        &rows, b + "_folder_points_at_root", b, b, [](DamageImage& i) { return PointAtRoot(i, "PHOTOS"); }, 3,
        0, 36, 0);
    rows.push_back(Row(
        b + "_nested_folder_points_at_root_volume", b, b,
        [](DamageImage& i) { return PointAtRoot(i, "DOCS/OLD"); }, 0x100, 36, 0));
    Both(
        &rows, b + "_fat_entry_past_end", b, b,
        [](DamageImage& i) { return BreakChain(i, "pic2/wallpaper.png"); }, 4, 0, 36, 0);
    // pic1's first cluster zeroed: the files listed in its later clusters stay in pic1 (one
    // deleted entry there loses the start of its long name), or, with the root gone too, in
    // the folder of "Lost Location" that its chain makes of them.
    Both(
        &rows, b + "_folder_head_gone", b, b, [](DamageImage& i) { return FolderHeadGone(i, "pic1"); }, 3, 0,
        fat32 ? 32 : 28, 0);
    rows.push_back(Row(
        b + "_root_and_folder_head_gone_volume", b, b,
        [](DamageImage& i) { return FolderHeadGone(i, "pic1") && RootGone(i); }, 0x100, 0, fat32 ? 32 : 28));
    // The clusters after the break lead on from another file's chain: they are not the
    // broken file's to claim, which is listed without data.
    rows.push_back(Row(
        b + "_fat_entry_past_end_into_claimed_volume", b, b,
        [](DamageImage& i) { return BreakChain(i, "pic2/wallpaper.png", "VIDEO/clip.mp4"); }, 0x100, 35, 0));
    // Without a boot sector there is no volume to scan for deleted files. Volume Recovery
    // finds FAT32's backup boot sector, or the FATs before the first cluster (FAT32) or
    // before the fixed root (FAT16, which the dispatcher's content test takes for FAT32).
    Both(&rows, b + "_boot_gone", b, b, BootGone, 0, 0, 36, 0);
    if (fat32) Both(&rows, b + "_both_boots_gone", b, b, BootsGone, 0, 0, 36, 0);
    // Formatted again with the same layout: the old root is overwritten, its folders come
    // back under "Lost Location". FAT32 has no FAT left to join pic1's later clusters to its
    // first: two deleted entries there lose their long names.
    Both(&rows, b + "_formatted_same_layout", b + "-qformat", b, nullptr, 0, 36, 0, fat32 ? 34 : 36);
    // Formatted again with twice the cluster size: the old folders outvote the new boot
    // sector. Later clusters of folders that no long name joins to their first come back
    // under "Lost Location" (two deleted entries among them without their long names).
    Both(&rows, b + "_formatted_other_layout", b + "-relayout", b, nullptr, 0, 0, fat32 ? 22 : 34,
         fat32 ? 12 : 2);
  }
  // 300 MiB FAT32 of 4 KiB clusters and 64 MiB FAT16: PHOTOS, DOCS and DOCS/OLD, 22 files, 3
  // of them deleted, root zeroed.
  Both(&rows, "fatd32_photos_root_gone", "fatd32-photos", "fatd32-photos", RootGone, 0, 0, 0, 22);
  Both(&rows, "fatd16_photos_root_gone", "fatd16-photos", "fatd16-photos", RootGone, 0, 0, 0, 22);
  // A deleted folder whose files took a deleted file's clusters: the folder's files come back,
  // the file they overwrote without data, marked as one whose clusters other files hold.
  Both(&rows, "fatd16_reorder", "fatd16-reorder", "fatd16-reorder", nullptr, 3, 0, 5, 0);
  Both(&rows, "fatd32_reorder", "fatd32-reorder", "fatd32-reorder", nullptr, 3, 0, 5, 0);
  for (size_t i = rows.size() - 4; i < rows.size(); ++i) rows[i].overwritten = 1;
  return rows;
}

const std::vector<DamageRow> kFatRows = FatRows();

}  // namespace

namespace testutil {
INSTANTIATE_TEST_SUITE_P(Fat, DamageMatrix, ::testing::ValuesIn(kFatRows), DamageRowName);
}  // namespace testutil
