// Text and path helpers shared by the whole engine. The system code page is UTF-8 and
// UTF-16 text is char16_t. Every conversion output is NUL-terminated and bounded by its
// capacity n (in units of the output, terminator included); a bound never splits a
// surrogate pair or a UTF-8 sequence.
#pragma once
#include <cstddef>
#include <cstdint>

class IDevice;

char16_t* AnsiToWide(char16_t* out, const char* in, int n);
const char16_t* AnsiToWideOrEmpty(char16_t* out, const char* in, int n);
int AnsiToWideLen(const char* in, char16_t* out, int n);
char* WideToAnsi(char* out, const char16_t* in, int n);
const char* WideToAnsiOrEmpty(char* out, const char16_t* in, int n);
int WideToAnsiLen(const char16_t* in, char* out, int n);
const char* EmptyIfNullA(const char* s);
const char16_t* EmptyIfNullW(const char16_t* s);

// UTF-16 length in units, like wcslen.
size_t WideLength(const char16_t* s);

// "/a/b" <-> "a\b" (room for 260 units). 0, 2 when the input has the wrong form, 100 for a
// null argument.
int UnixToWinPath(const char16_t* in, char16_t* out);
int WinToUnixPath(const char16_t* in, char16_t* out);
const char16_t* FindWideChar(const char16_t* s, char16_t c);
bool FileExists(const char16_t* path);

// Whether a found entry ("/Volume/...") still exists at its old place on the mounted
// volume of a partition or drive-letter volume.
bool MapVolumePath(const char16_t* path, IDevice* device);

// The running program's folder with a trailing '/', cached.
const char* GetModuleFolder();

int CompareInt64(int64_t a, int64_t b);

// Whether debug text is written at all (to standard error, when KESTRUM_DEBUG is set).
bool DebugLogOn();
void DebugLogA(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void WriteLogA(const char* path, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The UTF-16 twins, with the wide printf conventions: %s takes UTF-16 text, %hs and %S
// 8-bit text. DebugLogW formats up to 4096 units; WriteLogW up to 2048, and writes them
// to the file (or the debug output) as 8-bit text of at most 2048 bytes.
void DebugLogW(const char16_t* fmt, ...);
void WriteLogW(const char16_t* path, const char16_t* fmt, ...);
void HexDump(const uint8_t* data, int count, char* out);
int WriteBufferToFile(const char* path, const void* data, size_t count);
bool IsDeviceStillThere();
