// Loads the libVarnex.so given on the command line, opens the first IXXAT
// device (KESTRUM_BUS), reads an object a few times and ends as the mode says,
// without ever calling terminate_can unless told to:
//   return    returns from main with the library still loaded and open
//   dlclose   unloads the library while it is open, then returns
//   terminate terminate_can, dlclose, return
// Exit status 0 when everything ran; the clean-up at unload is what is tested.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 3;
  }
  auto init = reinterpret_cast<bool (*)(int, int, int, int, bool, int, void*)>(dlsym(lib, "init_can"));
  auto recv = reinterpret_cast<bool (*)(std::uint16_t, std::uint8_t, std::uint8_t*, std::int32_t*)>(dlsym(lib, "recv_SDO"));
  auto terminate = reinterpret_cast<void (*)()>(dlsym(lib, "terminate_can"));
  if (!init || !recv || !terminate) return 4;
  if (!init(1, 1000, -1, -1, true, 0, nullptr)) return 5;
  int answered = 0;
  for (int i = 0; i < 3; ++i) {
    std::uint8_t length = 0;
    std::int32_t value = 0;
    if (recv(0x1000, 0, &length, &value)) ++answered;
  }
  if (answered == 0) return 6;  // no bus: the clean-up would have nothing to stop
  const char* mode = argv[2];
  if (std::strcmp(mode, "terminate") == 0) terminate();
  if (std::strcmp(mode, "dlclose") == 0 || std::strcmp(mode, "terminate") == 0) dlclose(lib);
  return 0;
}
