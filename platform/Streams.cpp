#include "platform/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Format.h"

namespace Platform {

namespace {

std::string ErrnoText(int AError) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf
  return strerror_r(AError, buf, sizeof buf);
}

int Whence(TSeekOrigin AOrigin) {
  switch (AOrigin) {
    case TSeekOrigin::soBeginning: return SEEK_SET;
    case TSeekOrigin::soCurrent: return SEEK_CUR;
    case TSeekOrigin::soEnd: return SEEK_END;
  }
  return SEEK_SET;
}

}  // namespace

// TStream

std::int64_t TStream::GetSize() {
  const std::int64_t position = Seek(0, TSeekOrigin::soCurrent);
  const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(position, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* ABuffer, std::int64_t ACount) {
  if (ACount != 0 && Read(ABuffer, ACount) != ACount) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* ABuffer, std::int64_t ACount) {
  if (ACount != 0 && Write(ABuffer, ACount) != ACount) throw EStreamError("Stream write error");
}

// TMemoryStream

std::int64_t TMemoryStream::Read(void* ABuffer, std::int64_t ACount) {
  const std::int64_t size = static_cast<std::int64_t>(FData.size());
  if (ACount <= 0 || FPosition >= size) return 0;
  const std::int64_t n = std::min(ACount, size - FPosition);
  std::memcpy(ABuffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* ABuffer, std::int64_t ACount) {
  if (ACount <= 0) return 0;
  const std::int64_t end = FPosition + ACount;
  // a position beyond the end (after a seek) leaves zero bytes in the gap
  if (end > static_cast<std::int64_t>(FData.size())) FData.resize(static_cast<size_t>(end));
  std::memcpy(FData.data() + FPosition, ABuffer, static_cast<size_t>(ACount));
  FPosition = end;
  return ACount;
}

std::int64_t TMemoryStream::Seek(std::int64_t AOffset, TSeekOrigin AOrigin) {
  std::int64_t base = 0;
  switch (AOrigin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = FPosition; break;
    case TSeekOrigin::soEnd: base = static_cast<std::int64_t>(FData.size()); break;
  }
  const std::int64_t position = base + AOffset;
  if (position < 0) return -1;
  FPosition = position;
  return FPosition;
}

void TMemoryStream::SetSize(std::int64_t ANewSize) {
  if (ANewSize < 0) throw EStreamError("Stream write error");
  FData.resize(static_cast<size_t>(ANewSize));
  if (FPosition > ANewSize) FPosition = ANewSize;
}

void TMemoryStream::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FPosition = 0;
}

// TFileStream

TFileStream::TFileStream(const std::string& AFileName, unsigned AMode) : FFileName(AFileName) {
  if ((AMode & fmCreate) == fmCreate) {
    FHandle = ::open(AFileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (FHandle < 0)
      throw EFCreateError(Format("Cannot create file \"%s\". %s", AFileName.c_str(),
                                 ErrnoText(errno).c_str()));
    return;
  }
  int flags = O_RDONLY;
  switch (AMode & 0x3) {
    case fmOpenWrite: flags = O_WRONLY; break;
    case fmOpenReadWrite: flags = O_RDWR; break;
    default: flags = O_RDONLY; break;
  }
  FHandle = ::open(AFileName.c_str(), flags | O_CLOEXEC);
  if (FHandle < 0)
    throw EFOpenError(Format("Cannot open file \"%s\". %s", AFileName.c_str(),
                             ErrnoText(errno).c_str()));
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

std::int64_t TFileStream::Read(void* ABuffer, std::int64_t ACount) {
  std::int64_t done = 0;
  auto* p = static_cast<std::uint8_t*>(ABuffer);
  while (done < ACount) {
    const ssize_t n = ::read(FHandle, p + done, static_cast<size_t>(ACount - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of file or error
    done += n;
  }
  return done;
}

std::int64_t TFileStream::Write(const void* ABuffer, std::int64_t ACount) {
  std::int64_t done = 0;
  const auto* p = static_cast<const std::uint8_t*>(ABuffer);
  while (done < ACount) {
    const ssize_t n = ::write(FHandle, p + done, static_cast<size_t>(ACount - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

std::int64_t TFileStream::Seek(std::int64_t AOffset, TSeekOrigin AOrigin) {
  const off_t result = ::lseek(FHandle, static_cast<off_t>(AOffset), Whence(AOrigin));
  return result < 0 ? -1 : static_cast<std::int64_t>(result);
}

void TFileStream::SetSize(std::int64_t ANewSize) {
  const std::int64_t position = GetPosition();
  int rc;
  do {
    rc = ::ftruncate(FHandle, static_cast<off_t>(ANewSize));
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) throw EStreamError(ErrnoText(errno));
  if (position > ANewSize) Seek(ANewSize, TSeekOrigin::soBeginning);
}

}  // namespace Platform
