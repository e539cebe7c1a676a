// OpenEXR streams over descriptors of our own, opened close-on-exec, so that a program started
// while a picture is read or written holds none of its files. The library's own file streams
// open without that flag.
#pragma once

#include <cstdint>

#include <OpenEXR/ImfIO.h>

// Reads the file at a descriptor through a buffer, at a position of its own (pread); owns the
// descriptor. Reading past the end or a failing read throws, as the library expects.
class ExrFileIn : public Imf::IStream {
 public:
  // Reads the file open at fd (taken), named path in the library's messages.
  ExrFileIn(int fd, const char* path) : Imf::IStream(path), fd_(fd) {}
  ~ExrFileIn() override;
  ExrFileIn(const ExrFileIn&) = delete;
  ExrFileIn& operator=(const ExrFileIn&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  bool read(char c[], int n) override;
  uint64_t tellg() override { return pos_; }
  void seekg(uint64_t pos) override { pos_ = pos; }

 private:
  static constexpr int kBuf = 65536;
  int fd_;
  uint64_t pos_ = 0;
  uint64_t bufAt_ = 0;  // file offset of buf_[0]
  int bufLen_ = 0;
  char buf_[kBuf];
};

// Writes to a descriptor the caller owns (a temporary file it syncs, renames and closes).
class ExrFileOut : public Imf::OStream {
 public:
  ExrFileOut(int fd, const char* name) : Imf::OStream(name), fd_(fd) {}
  void write(const char c[], int n) override;
  uint64_t tellp() override { return pos_; }
  void seekp(uint64_t pos) override { pos_ = pos; }

 private:
  int fd_;
  uint64_t pos_ = 0;
};
