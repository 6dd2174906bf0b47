// Which category a found file is listed under, by the text after the last dot of its name.
#pragma once

enum FileCategory { FC_Image, FC_Video, FC_Audio, FC_Document, FC_Other };

int FindImageExtension(const char* suffix);
int FindAudioExtension(const char* suffix);
int FindDocumentExtension(const char* suffix);
int FindVideoExtension(const char* suffix);
// Image first, then audio, document and video; anything else is Other.
FileCategory CategoryOfSuffix(const char* suffix);
