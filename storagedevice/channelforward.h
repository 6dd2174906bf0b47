// The IDevice operations that a disk and a drive-letter volume pass on to the channel each
// owns, written once so that both keep one rule: a read-only channel takes no write.
#pragma once
#include <cstdint>

#include "common/inc/idevice.h"
#include "common/inc/ideviceio.h"

// The one read-only rule for an open channel: opened for reading alone, or opened for
// writing on a device that is write-protected (a block device may take a read-write open
// and refuse every write).
bool ChannelIsReadOnly(IDeviceIo* io);

// A view of one device's channel, made afresh for each call. It holds references to the
// device's own members, so that a reopen during a call updates the device itself and the
// device's record layout stays as it is.
class ChannelForward {
 public:
  ChannelForward(IDeviceIo*& io, bool& readOnly, const char* path, uint32_t sectorSize)
      : m_io(io), m_readOnly(readOnly), m_path(path), m_sectorSize(sectorSize) {}

  // Opens the channel on the path for reading and writing, else for reading alone, and
  // sets the read-only flag from the open. 0, or -1 without a channel or when both fail.
  int Open();
  // -1 without a channel or when a closed one cannot be reopened; otherwise the channel's
  // answer. Writes are refused with RC_READ_FAILED on a read-only channel.
  int Read(void* buf, uint32_t count);
  int Write(const void* buf, uint32_t count);
  int64_t Seek(int64_t offset, int origin);
  int ReadSectors(int64_t first, void* buf, uint32_t count);
  int WriteSectors(int64_t first, const void* buf, uint32_t count);
  // 0 without a channel.
  int Close();
  // Gives the device a new channel on sourcePath with the open flags of the source's channel
  // (read-only when they cannot be had): the private channel of a clone. A clone is made
  // fresh, so a channel it already holds is a caller's slip; it is dropped rather than
  // leaked. 0, or -1 when it cannot be opened.
  int OpenLike(IDeviceIo* source, const char* sourcePath);
  // The readiness test before every forwarded call: a closed channel is reopened. False
  // without a channel.
  bool EnsureOpen();

 private:
  IDeviceIo*& m_io;
  bool& m_readOnly;
  const char* m_path;
  uint32_t m_sectorSize;
};
