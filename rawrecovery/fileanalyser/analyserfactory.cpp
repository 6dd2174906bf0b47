#include "rawrecovery/fileanalyser/signatureanalysers.h"
#include "rawrecovery/rawanalyser.h"

CRawAnalyser* CreateTypeAnalyser(int typeId) {
  // The plist-only class has no row of its own: plist files are served by the HTML analyser.
  if (typeId == 37) return nullptr;
  return CreateSignatureAnalyser(typeId);
}
