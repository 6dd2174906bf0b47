#include "rawrecovery/filehint.h"

#include <tinyxml2.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

const int64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;

const FileHint kRows[] = {
    {"jpg", "JPG picture", 1 * KiB, 32 * MiB, 1},
    {"doc", "Microsoft Compound Document", 8 * KiB, 32 * MiB, 2},
    {"ppt", "Microsoft Compound Document", 8 * KiB, 128 * MiB, 2},
    {"xls", "Microsoft Compound Document", 8 * KiB, 32 * MiB, 2},
    {"zip", "zip archive and MSOffice 2007", 8 * KiB, 1 * GiB, 3},
    {"docx", "MS Office word 2007", 8 * KiB, 128 * MiB, 3},
    {"pptx", "MS Office PowerPoint 2007", 8 * KiB, 512 * MiB, 3},
    {"xlsx", "MS Office excel 2007", 8 * KiB, 128 * MiB, 3},
    {"vsd", "Microsoft Compound Document", 8 * KiB, 32 * MiB, 2},
    {"gif", "Graphics Interchange Format", 0, 32 * MiB, 4},
    {"tif", "Tag-base file format", 8 * KiB, 128 * MiB, 5},
    {"dng", "Tag-base file format", 8 * KiB, 128 * MiB, 5},
    {"cr2", "Tag-base file format", 8 * KiB, 128 * MiB, 5},
    {"nef", "Tag-base file format", 8 * KiB, 128 * MiB, 5},
    {"orf", "Tag-base file format", 8 * KiB, 128 * MiB, 5},
    {"raf", "Tag-base file format", 8 * KiB, 128 * MiB, 33},
    {"sr2", "Tag-base file format", 8 * KiB, 128 * MiB, 5},
    {"erf", "Epson digital cameras raw file", 8 * KiB, 128 * MiB, 5},
    {"raw", "Panasonic digital cameras raw file", 8 * KiB, 128 * MiB, 5},
    {"mrw", "Tag-base file format", 8 * KiB, 128 * MiB, 34},
    {"dcr", "Tag-base file format", 8 * KiB, 128 * MiB, 5},
    {"bmp", "Bitmap Image File", 1 * KiB, 128 * MiB, 6},
    {"png", "Portable Image Network Graphics", 0, 32 * MiB, 7},
    {"psd", "Photoshop Image Resources", 8 * KiB, 128 * MiB, 8},
    {"pdf", "Portable Document Format", 8 * KiB, 512 * MiB, 9},
    {"ai", "Adobe Illustrator", 8 * KiB, 512 * MiB, 48},
    {"wmf", "Microsoft Windows Metafile", 0, 32 * MiB, 11},
    {"pst", "Outlook Personal Folders File Format", 1 * KiB, 64 * MiB, 12},
    {"dbx", "Outlook Express File Format", 10964, 64 * MiB, 13},
    {"crw", "Canon Raw picture", 1 * MiB, 64 * MiB, 14},
    {"rar", "WinRar archive file", 8 * KiB, 1 * GiB, 10},
    {"mp3", "MP3 audio", 8 * KiB, 128 * MiB, 15},
    {"mov", "MPEG-4 file", 32 * KiB, 10 * GiB, 16},
    {"mp4", "MPEG-4 file", 32 * KiB, 10 * GiB, 16},
    {"m4a", "MPEG-4 file", 32 * KiB, 512 * MiB, 16},
    {"m4v", "MPEG-4 file", 32 * KiB, 5 * GiB, 16},
    {"3gp", "MPEG-4 file", 32 * KiB, 512 * MiB, 16},
    {"3g2", "MPEG-4 file", 32 * KiB, 2 * GiB, 16},
    {"htm", "HyperText Markup Language File", 0, 1 * MiB, 17},
    {"avi", "Audio Video Interleaved", 8 * KiB, 10 * GiB, 18},
    {"wav", "Audio Video Interleaved", 8 * KiB, 128 * MiB, 18},
    {"rm", "RealMedia File Format", 8 * KiB, 2 * GiB, 19},
    {"rmvb", "RealMedia File Format", 8 * KiB, 5 * GiB, 19},
    {"asf", "Advanced Systems Format", 8 * KiB, 2 * GiB, 20},
    {"wma", "Advanced Systems Format", 8 * KiB, 128 * MiB, 20},
    {"wmv", "Advanced Systems Format", 8 * KiB, 128 * MiB, 20},
    {"swf", "Macromedia Flash (Compiled)", 0, 1 * GiB, 21},
    {"flv", "Macromedia Flash Video", 8 * KiB, 2 * GiB, 22},
    {"mpg", "MPEG-1/2 audio/video file", 8 * KiB, 5 * GiB, 23},
    {"sit", "StuffIt Archive", 128, 1 * GiB, 24},
    {"ogg", "Ogg audio", 8 * KiB, 128 * MiB, 25},
    {"mid", "MIDI Musical Instrument Digital Interface", 0, 8 * MiB, 26},
    {"aif", "Audio Interchange File Format", 8 * KiB, 64 * MiB, 27},
    {"aac", "Advanced Audio Coder", 8 * KiB, 128 * MiB, 28},
    {"indd", "Adobe InDesign File", 8 * KiB, 64 * MiB, 29},
    {"cwk", "AppleWorks", 8 * KiB, 16 * MiB, 30},
    {"eps", "PostScript or Encapsulated PostScript document", 1 * KiB, 32 * MiB, 31},
    {"emlx", "Apple Mail", 0, 1 * MiB, 32},
    {"key", "iWork Pages", 8 * KiB, 512 * MiB, 3},
    {"pages", "MS Office word 2007", 8 * KiB, 128 * MiB, 3},
    {"numbers", "iWork Numbers", 8 * KiB, 128 * MiB, 3},
    {"odt", "OpenOffice", 4 * KiB, 128 * MiB, 3},
    {"odp", "OpenOffice", 4 * KiB, 512 * MiB, 3},
    {"ods", "OpenOffice", 4 * KiB, 128 * MiB, 3},
    {"odg", "OpenOffice", 4 * KiB, 512 * MiB, 3},
    {"odf", "OpenOffice", 2 * KiB, 128 * MiB, 3},
    {"xcf", "GIMP Image File", 8 * KiB, 128 * MiB, 35},
    {"rtf", "Rich Text Format Document", 0, 128 * MiB, 36},
    {"plist", "Mac OS X Propety List File", 0, 128 * MiB, 17},
    {"msg", "Microsoft Outlook Mail Message", 0, 64 * MiB, 2},
    {"7z", "7-Zip Compressed File", 0, 10 * GiB, 38},
    {"eml", "Microsoft Outlook Extensible ML", 0, 64 * MiB, 39},
    {"bz2", "Bzip2 Compressed File", 0, 10 * GiB, 40},
    {"x3f", "Sigma Image File", 8 * KiB, 128 * MiB, 41},
    {"mkv", "Matroska Video File", 8 * KiB, 10 * GiB, 42},
    {"arw", "Tag-base file format", 8 * KiB, 128 * MiB, 5},
    {"dwg", "AutoCAD drawing", 8 * KiB, 128 * MiB, 43},
    {"mat", "MATLAB File", 0, 512 * MiB, 44},
    {"mxf", "Material Exchange Format File", 0, 10 * GiB, 45},
    {"sitx", "Stuffit X Archive File", 0, 10 * GiB, 46},
    {"tax", "TurboTax", 0, 256 * MiB, 47},
};
static_assert(sizeof(kRows) / sizeof(kRows[0]) == 81, "the hint table has 81 rows");

// A decimal whole number, surrounding white space allowed, nothing else.
bool ParseInt64(const char* text, int64_t* out) {
  if (!text) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') ++end;
  if (*end != 0) return false;
  *out = v;
  return true;
}

}  // namespace

int64_t FileHint::CheckSize(int64_t size) const {
  if (size < MinSize) return 0;
  if (size > MaxSize) return MaxSize;
  return size;
}

const FileHint& DeviceEndHint() {
  static const FileHint row("*", "{DEVICE}", 0, 0, 0);
  return row;
}

const FileHint& DynHint() {
  static const FileHint row("dyn", "{Custom data base}", 0, 0, 100);
  return row;
}

FileHintTable::FileHintTable() : m_rows(std::begin(kRows), std::end(kRows)), m_minFromXml(m_rows.size(), false) {}

bool FileHintTable::MinSizeFromXml(const FileHint* row) const {
  if (!row || m_rows.empty() || row < &m_rows.front() || row > &m_rows.back()) return false;
  return m_minFromXml[size_t(row - &m_rows.front())];
}

FileHintTable* FileHintTable::Instance() {
  static FileHintTable* table = [] {
    FileHintTable* t = new FileHintTable();
    std::string path = plat::ProgramFolder() + "/filehint.xml";
    t->LoadXml(path.c_str());
    return t;
  }();
  return table;
}

FileHint* FileHintTable::FindNext(const char* ext, int* pos) {
  if (!ext || !pos || *pos < 0) return nullptr;
  for (size_t i = size_t(*pos); i < m_rows.size(); ++i) {
    if (std::strcmp(m_rows[i].ext, ext) == 0) {
      *pos = int(i) + 1;
      return &m_rows[i];
    }
  }
  return nullptr;
}

const FileHint* FileHintTable::Find(const char* ext) {
  int pos = 0;
  return FindNext(ext, &pos);
}

const FileHint* FileHintTable::FirstOfType(int typeId) const {
  for (const FileHint& r : m_rows)
    if (r.TypeId == typeId) return &r;
  return nullptr;
}

int FileHintTable::LoadXml(const char* path) {
  if (!path) return tinyxml2::XML_ERROR_FILE_NOT_FOUND;
  tinyxml2::XMLDocument doc;
  tinyxml2::XMLError err = doc.LoadFile(path);
  if (err != tinyxml2::XML_SUCCESS) return int(err);
  tinyxml2::XMLElement* root = doc.FirstChildElement("FileType");
  tinyxml2::XMLElement* file = root ? root->FirstChildElement("File") : nullptr;
  if (!file) return -1;
  for (; file; file = file->NextSiblingElement("File")) {
    int id = file->IntAttribute("ID", 0);
    tinyxml2::XMLElement* extEl = file->FirstChildElement("Extension");
    if (!extEl) continue;
    const char* ext = extEl->GetText();
    if (!ext) continue;
    tinyxml2::XMLElement* maxEl = file->FirstChildElement("MaxSize");
    tinyxml2::XMLElement* minEl = file->FirstChildElement("MinSize");
    int64_t maxSize = 0, minSize = 0;
    // A malformed size stops the load; rows changed by earlier elements keep their change.
    if (maxEl && !ParseInt64(maxEl->GetText(), &maxSize)) return 2;
    if (minEl && !ParseInt64(minEl->GetText(), &minSize)) return 2;
    for (size_t i = 0; i < m_rows.size(); ++i) {
      FileHint& row = m_rows[i];
      if (row.TypeId != id || std::strcmp(row.ext, ext) != 0) continue;
      if (maxEl) row.MaxSize = maxSize;
      if (minEl) {
        row.MinSize = minSize;
        m_minFromXml[i] = true;
      }
    }
  }
  return 0;
}
