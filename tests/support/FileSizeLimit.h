#pragma once
// A full disk without a full disk: while a FileSizeLimit lives, files of the
// process grow no larger than `bytes`, and a write past it fails with EFBIG
// as a full disk fails with ENOSPC (the signal it raises is ignored).

#include <signal.h>
#include <sys/resource.h>

namespace kestrum::test {

struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved);
    previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previousHandler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  rlimit saved{};
  sighandler_t previousHandler;
};

}  // namespace kestrum::test
