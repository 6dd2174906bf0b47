#include "frontend/filecategory.h"

#include <cstddef>

namespace {

const char* const ImageExtensions[] = {
    "3DM", "3DMF", "3DS", "ABM", "AFX", "AI", "ANI", "ART", "ARW", "BLD", "BLEND", "BMP", "BOO", "BR5",
    "CDR", "CDR", "CDT", "CGM", "CIFF", "CLP", "CMX", "CONT", "CPT", "CR2", "CRW", "CUR", "CVX", "DCM",
    "DCR", "DCR", "DIB", "DNG", "DRW", "DS4", "DSC", "DT2", "DWF", "DWG", "EMF", "EMZ", "ERF", "FH8",
    "FLC", "FOV", "FPF", "FPX", "FUJI", "FXG", "GIF", "HDP", "HPI", "ICNS", "ICO", "IDML", "IFF", "IMG",
    "INX", "IPX", "ISD", "ITC2", "IV", "JP2", "JPEG", "JPG", "JPX", "K25", "KDC", "LBM", "MA", "MAX",
    "MB", "MDI", "MDL", "MDX", "MINO", "MNG", "MOS", "MRW", "MSP", "NCR", "NEF", "OBJ", "ORF", "PAL",
    "PAT", "PBM", "PCS", "PCT", "PCX", "PEF", "PGM", "PIC", "PICT", "PICTCLIPPING", "PNG", "PPM", "PSD",
    "PSP", "PSPIMGE", "PTX", "PXN", "QXD", "RAF", "RAS", "RAW", "RELS", "RGB", "RLE", "RTD", "SCT", "SHP",
    "SKF", "SKP", "SR2", "SRF", "STP", "SVG", "SVGZ", "TEX", "TGA", "THM", "TIF", "TIFF", "VWX", "WB1",
    "WBC", "WBD", "WBMP", "WBZ", "WEBP", "WMF", "WP", "WPG", "X3F", "XBM", "XCF", "XPM", "XPS"};
static_assert(sizeof(ImageExtensions) / sizeof(ImageExtensions[0]) == 138, "image table");

const char* const AudioExtensions[] = {
    "OPUS", "AMR", "RAM", "RFL", "RMI", "RNS", "RPS", "SIB", "SND", "VPM", "WAV", "WMA", "AA3", "AAC",
    "AC3", "AFC", "AIF", "AIFF", "AM", "AT3", "AU", "AUD", "CAF", "CDA", "CPF", "DMSA", "DMSE", "DSS",
    "EMP", "EMX", "FLAC", "KPI", "M3D", "M4A", "M4R", "MID", "MIDI", "MP3", "OGG", "OMF", "PTF"};
static_assert(sizeof(AudioExtensions) / sizeof(AudioExtensions[0]) == 41, "audio table");

const char* const DocumentExtensions[] = {
    "doc", "docx", "xls", "xlsx", "pptx", "ppt", "pdf", "htm", "html", "indd", "eps", "cwk",
    "pages", "key", "numbers", "odt", "odp", "ods", "odg", "odf", "rtf", "plist", "vsd", "mat",
    "tax", "zip", "rar", "sit", "7z", "sitx", "bz2", "pst", "dbx", "emlx", "eml", "msg"};
static_assert(sizeof(DocumentExtensions) / sizeof(DocumentExtensions[0]) == 36, "document table");

const char* const VideoExtensions[] = {
    "3G2", "3GP", "ANM", "ASF", "ASX", "AVI", "AVS", "CLK", "CPI", "DIVX", "DMSM", "DREAM", "DVDMEDIA",
    "DVM", "DVR-MS", "DXR", "F4V", "FBR", "FLA", "FLV", "HDMOV", "M2P", "M2TS", "M4P", "M4V", "MKV",
    "MOD", "MOI", "MOV", "MP4", "MPE", "MPEG", "MPG", "MXF", "OGM", "PSH", "QT", "QTM", "RCPROJECT", "RM",
    "RMVB", "SCM", "SMIL", "SMJPEG", "SRT", "STX", "SWF", "TIX", "TS", "VOB", "VRO", "WMV", "WTV", "XVID",
    "YUV"};
static_assert(sizeof(VideoExtensions) / sizeof(VideoExtensions[0]) == 55, "video table");

// ASCII-only, as the names in the tables are.
bool SameIgnoringCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'a' && x <= 'z') x = char(x - 32);
    if (y >= 'a' && y <= 'z') y = char(y - 32);
    if (x != y) return false;
    if (!x) return true;
  }
}

template <size_t N>
int Find(const char* const (&table)[N], const char* suffix) {
  if (!suffix) return -1;
  for (size_t i = 0; i < N; ++i)
    if (SameIgnoringCase(table[i], suffix)) return static_cast<int>(i);
  return -1;
}

}  // namespace

int FindImageExtension(const char* suffix) { return Find(ImageExtensions, suffix); }
int FindAudioExtension(const char* suffix) { return Find(AudioExtensions, suffix); }
int FindDocumentExtension(const char* suffix) { return Find(DocumentExtensions, suffix); }
int FindVideoExtension(const char* suffix) { return Find(VideoExtensions, suffix); }

FileCategory CategoryOfSuffix(const char* suffix) {
  if (!suffix || !*suffix) return FC_Other;
  if (FindImageExtension(suffix) >= 0) return FC_Image;
  if (FindAudioExtension(suffix) >= 0) return FC_Audio;
  if (FindDocumentExtension(suffix) >= 0) return FC_Document;
  if (FindVideoExtension(suffix) >= 0) return FC_Video;
  return FC_Other;
}
