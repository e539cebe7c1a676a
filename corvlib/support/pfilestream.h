// A file stream over a descriptor the program opens itself, always close-on-exec: a program
// started meanwhile (a viewer, the desktop's opener) never inherits the file. It reads and
// writes as std::fstream does (the standard library's file buffer over that descriptor), and
// gives the descriptor for the calls a stream has not (record locks, fsync).
#pragma once

#include <ext/stdio_filebuf.h>

#include <iostream>
#include <memory>

class PFileStream : public std::iostream {
 public:
  PFileStream();
  ~PFileStream() override;
  PFileStream(const PFileStream&) = delete;
  PFileStream& operator=(const PFileStream&) = delete;

  // Opens path with open(2)'s flags (O_RDONLY, O_RDWR, O_CREAT ...) and mode as PopenRegular
  // opens it (support/futil.h): closed on exec, without waiting, and only a regular file.
  // Closes the file open before. False, with errno set, when it cannot be opened.
  bool Open(const char* path, int flags, int mode = 0666);
  // Takes fd, open with the access of flags, as the stream's file (closed with it); false
  // (fd closed) when no stream can be made over it.
  bool Adopt(int fd, int flags);
  bool is_open() const;
  // Writes what is buffered and closes the file; false when that write or the close failed
  // (failbit set, as std::fstream::close sets it).
  bool close();
  // The descriptor, -1 when no file is open.
  int fd() const;

 private:
  std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buf_;  // never null
};
