// The table of built-in carving types. Adding a type means one line here (and its rows in
// the hint table); the checks below and the table test refuse a gap, a duplicate code or a
// row without a class.
#include "rawrecovery/analysertype.h"
#include "rawrecovery/fileanalyser/aacanalyser.h"
#include "rawrecovery/fileanalyser/asfanalyser.h"
#include "rawrecovery/fileanalyser/bz2analyser.h"
#include "rawrecovery/fileanalyser/docanalyser.h"
#include "rawrecovery/fileanalyser/dwganalyser.h"
#include "rawrecovery/fileanalyser/flvanalyser.h"
#include "rawrecovery/fileanalyser/gifanalyser.h"
#include "rawrecovery/fileanalyser/jpganalyser.h"
#include "rawrecovery/fileanalyser/matanalyser.h"
#include "rawrecovery/fileanalyser/midanalyser.h"
#include "rawrecovery/fileanalyser/mkvanalyser.h"
#include "rawrecovery/fileanalyser/mp3analyser.h"
#include "rawrecovery/fileanalyser/mp4analyser.h"
#include "rawrecovery/fileanalyser/mpganalyser.h"
#include "rawrecovery/fileanalyser/mxfanalyser.h"
#include "rawrecovery/fileanalyser/ogganalyser.h"
#include "rawrecovery/fileanalyser/pdfanalyser.h"
#include "rawrecovery/fileanalyser/psdanalyser.h"
#include "rawrecovery/fileanalyser/rmanalyser.h"
#include "rawrecovery/fileanalyser/tiffanalyser.h"
#include "rawrecovery/fileanalyser/zipanalyser.h"
#include "rawrecovery/fileanalyser/signatureanalysers.h"

namespace {

template <class A>
CRawAnalyser* Make() {
  return new A();
}

constexpr ByteSet kDigits = ByteRange('0', '9');

constexpr AnalyserType kTypes[] = {
    {1, "jpg", Bytes({0xff}), &Make<CJpgAnalyser>},
    {2, "doc/ppt/xls/vsd/msg", Bytes({0xd0}), &Make<CDocAnalyser>},
    {3, "zip/docx/pptx/xlsx/key/pages/numbers/odt/odp/ods/odg/odf", Bytes({'P'}), &Make<CZipAnalyser>},
    {4, "gif", Bytes({'G'}), &Make<CGifAnalyser>},
    {5, "tif/dng/cr2/nef/orf/sr2/erf/raw/dcr/arw", Bytes({'I', 'M'}), &Make<CTiffAnalyser>},
    {6, "bmp", Bytes({'B'}), &Make<CBmpAnalyser>},
    {7, "png", Bytes({0x89}), &Make<CPngAnalyser>},
    {8, "psd", Bytes({'8'}), &Make<CPsdAnalyser>},
    {9, "pdf", Bytes({'%'}), &Make<CPdfAnalyser>},
    {10, "rar", Bytes({'R'}), &Make<CRarAnalyser>},
    {11, "wmf", Bytes({0xd7}), &Make<CWmfAnalyser>},
    {12, "pst", Bytes({'!'}), &Make<CPstAnalyser>},
    {13, "dbx", Bytes({0xcf}), &Make<CDbxAnalyser>},
    {14, "crw", Bytes({'I', 'M'}), &Make<CCrwAnalyser>},
    {15, "mp3", Bytes({'I'}), &Make<CMp3Analyser>},
    // Boxes of any size lead an MPEG-4 file, so its size field can begin with any byte.
    {16, "mov/mp4/m4a/m4v/3gp/3g2", AnyByte(), &Make<CMp4Analyser>},
    // Its marks are looked for anywhere in the first 50 bytes.
    {17, "htm/plist", AnyByte(), &Make<CHtmlAnalyser>},
    {18, "avi/wav", Bytes({'R'}), &Make<CAviAnalyser>},
    {19, "rm/rmvb", Bytes({'.'}), &Make<CRmAnalyser>},
    {20, "asf/wma/wmv", Bytes({0x30}), &Make<CAsfAnalyser>},
    {21, "swf", Bytes({'C', 'F'}), &Make<CSwfAnalyser>},
    {22, "flv", Bytes({'F'}), &Make<CFlvAnalyser>},
    {23, "mpg", Bytes({0x00}), &Make<CMpgAnalyser>},
    {24, "sit", Bytes({'S'}), &Make<CSitAnalyser>},
    {25, "ogg", Bytes({'O'}), &Make<COggAnalyser>},
    {26, "mid", Bytes({'M'}), &Make<CMidAnalyser>},
    {27, "aif", Bytes({'F'}), &Make<CAifAnalyser>},
    {28, "aac", Bytes({0xff}), &Make<CAacAnalyser>},
    {29, "indd", Bytes({0x06}), &Make<CInddAnalyser>},
    // The AppleWorks mark sits at byte 4; the first four bytes are free.
    {30, "cwk", AnyByte(), &Make<CCwkAnalyser>},
    {31, "eps", Bytes({'%'}), &Make<CEpsAnalyser>},
    {32, "emlx", kDigits, &Make<CEmlxAnalyser>},
    {33, "raf", Bytes({'F'}), &Make<CRafAnalyser>},
    {34, "mrw", Bytes({0x00}), &Make<CMrwAnalyser>},
    {35, "xcf", Bytes({'g'}), &Make<CXcfAnalyser>},
    {36, "rtf", Bytes({'{'}), &Make<CRtfAnalyser>},
    // No row carries this code: property lists are served by the HTML type.
    {37, "", Bytes({'<'}), &Make<CPlistAnalyser>},
    {38, "7z", Bytes({'7'}), &Make<CZ7Analyser>},
    // A mail header field may open the file with any byte but a digit.
    {39, "eml", kDigits.Inverse(), &Make<CEmlAnalyser>},
    {40, "bz2", Bytes({'B'}), &Make<CBz2Analyser>},
    {41, "x3f", Bytes({'F'}), &Make<CX3fAnalyser>},
    {42, "mkv", Bytes({0x1a}), &Make<CMkvAnalyser>},
    {43, "dwg", Bytes({'A'}), &Make<CDwgAnalyser>},
    {44, "mat", Bytes({'M'}), &Make<CMatAnalyser>},
    {45, "mxf", Bytes({0x06}), &Make<CMxfAnalyser>},
    {46, "sitx", Bytes({'S'}), &Make<CSitxAnalyser>},
    {47, "tax", Bytes({'T'}), &Make<CTaxAnalyser>},
    {48, "ai", Bytes({'%'}), &Make<CAiAnalyser>},
};

constexpr size_t kTypeCount = sizeof(kTypes) / sizeof(kTypes[0]);

// Codes 1, 2, ... in order without a gap, so that a code is its own index + 1.
constexpr bool Dense() {
  for (size_t i = 0; i < kTypeCount; ++i)
    if (kTypes[i].typeId != int(i) + 1) return false;
  return true;
}
static_assert(kTypeCount == 48, "one entry per built-in type code");
static_assert(Dense(), "the type codes run from 1 without a gap");

}  // namespace

const AnalyserType* AnalyserTypes(size_t* count) {
  if (count) *count = kTypeCount;
  return kTypes;
}

const AnalyserType* FindAnalyserType(int typeId) {
  if (typeId < 1 || size_t(typeId) > kTypeCount) return nullptr;
  return &kTypes[typeId - 1];
}
