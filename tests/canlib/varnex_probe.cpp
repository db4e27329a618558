// Loads the libVarnex.so given on the command line and reports what it finds
// of the vendor libraries: "peak <getPeakDevices> ixxat <getIXXATDevices>".
// Run in its own process so no library loaded by a test can stand in.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  auto peak = reinterpret_cast<int (*)(int*, int)>(dlsym(lib, "getPeakDevices"));
  auto ixxat = reinterpret_cast<int (*)()>(dlsym(lib, "getIXXATDevices"));
  if (!peak || !ixxat) return 1;
  int channels[27];
  const int peakCount = peak(channels, 0x0014);
  std::printf("peak %d ixxat %d\n", peakCount, ixxat());
  return 0;
}
