// Leaks of system libraries that are not ours to fix: fontconfig keeps a
// cache allocation when Qt lays out text offscreen. LeakSanitizer reads this
// list from any executable it is linked into; other builds ignore it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
