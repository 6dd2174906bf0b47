#pragma once
#include <QString>
#include <cstdint>

// The size text that every list and label shows; writes into buf (at least 100 bytes) and returns it.
char* FormatFileSize(uint64_t bytes, char* buf);
QString FormatFileSizeText(uint64_t bytes);
// Name of a partition type byte as the device lists show it.
QString FileSystemTypeName(uint32_t partitionType);
