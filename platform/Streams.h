// Streams: an abstract byte stream, a memory stream and a file stream.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Exception.h"

namespace Platform {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};
// "Cannot create file \"%s\". %s" / "Cannot open file \"%s\". %s" (path, system text)
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class TStream {
 public:
  virtual ~TStream() = default;
  // Read and Write return the number of bytes moved (short at the end, or on error).
  virtual std::int64_t Read(void* ABuffer, std::int64_t ACount) = 0;
  virtual std::int64_t Write(const void* ABuffer, std::int64_t ACount) = 0;
  // Returns the new position, or -1 when the stream cannot seek there.
  virtual std::int64_t Seek(std::int64_t AOffset, TSeekOrigin AOrigin) = 0;
  virtual std::int64_t GetSize();
  virtual void SetSize(std::int64_t ANewSize) = 0;
  std::int64_t GetPosition() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t APosition) { Seek(APosition, TSeekOrigin::soBeginning); }
  // Raise EStreamError ("Stream read error" / "Stream write error") when short.
  void ReadBuffer(void* ABuffer, std::int64_t ACount);
  void WriteBuffer(const void* ABuffer, std::int64_t ACount);
};

class TMemoryStream : public TStream {
 public:
  std::int64_t Read(void* ABuffer, std::int64_t ACount) override;
  std::int64_t Write(const void* ABuffer, std::int64_t ACount) override;
  std::int64_t Seek(std::int64_t AOffset, TSeekOrigin AOrigin) override;
  void SetSize(std::int64_t ANewSize) override;
  void Clear();
  std::uint8_t* Memory() { return FData.data(); }

 private:
  std::vector<std::uint8_t> FData;
  std::int64_t FPosition = 0;
};

// File modes: one of fmCreate / fmOpenRead / fmOpenWrite / fmOpenReadWrite.
constexpr unsigned fmCreate = 0xFF00;  // create or truncate, read-write
constexpr unsigned fmOpenRead = 0x0000;
constexpr unsigned fmOpenWrite = 0x0001;
constexpr unsigned fmOpenReadWrite = 0x0002;

class TFileStream : public TStream {
 public:
  TFileStream(const std::string& AFileName, unsigned AMode);
  ~TFileStream() override;
  std::int64_t Read(void* ABuffer, std::int64_t ACount) override;
  std::int64_t Write(const void* ABuffer, std::int64_t ACount) override;
  std::int64_t Seek(std::int64_t AOffset, TSeekOrigin AOrigin) override;
  void SetSize(std::int64_t ANewSize) override;
  const std::string& FileName() const { return FFileName; }
  int Handle() const { return FHandle; }

 private:
  std::string FFileName;
  int FHandle = -1;
};

}  // namespace Platform
