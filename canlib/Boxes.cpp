#include "Boxes.h"

#include <atomic>
#include <cstdio>

#include "VarnexStatus.h"

namespace varnex {

namespace {
// Constant-initialised, so the GUI corner may install its presenter from a
// static initialiser in any order.
std::atomic<BoxPresenter> presenter{nullptr};
}  // namespace

void setBoxPresenter(BoxPresenter p) { presenter.store(p); }

void showBox(const char* caption, const char* text, BoxIcon icon) {
  if (VarnexBoxHook hook = VarnexStatus::boxHook.load()) {
    hook(caption, text, static_cast<int>(icon));
    return;
  }
  if (BoxPresenter p = presenter.load(); p && p(caption, text, icon)) return;
  std::fprintf(stderr, "[%s] %s\n", caption, text);
}

}  // namespace varnex
