#include "rawrecovery/fileanalyser/documentanalysers.h"
#include "rawrecovery/fileanalyser/imageanalysers.h"
#include "rawrecovery/fileanalyser/mediaanalysers.h"
#include "rawrecovery/fileanalyser/signatureanalysers.h"
#include "rawrecovery/rawanalyser.h"

CRawAnalyser* CreateTypeAnalyser(int typeId) {
  switch (typeId) {
    case 1: return new CJpgAnalyser();
    case 2: return new CDocAnalyser();
    case 3: return new CZipAnalyser();
    case 4: return new CGifAnalyser();
    case 5: return new CTiffAnalyser();
    case 9: return new CPdfAnalyser();
    case 15: return new CMp3Analyser();
    case 16: return new CMp4Analyser();
    case 19: return new CRmAnalyser();
    case 20: return new CAsfAnalyser();
    case 23: return new CMpgAnalyser();
    case 28: return new CAacAnalyser();
    case 43: return new CDwgAnalyser();
    case 44: return new CMatAnalyser();
    default: return CreateSignatureAnalyser(typeId);
  }
}
