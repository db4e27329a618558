#pragma once
// The library's modal message boxes (single OK button). One service decides
// where a box goes: the test hook of VarnexStatus when set, else the GUI
// presenter when the process has a GUI application, else standard error, so
// the library never blocks a process without a user.

namespace varnex {

enum class BoxIcon { None = 0, Error = 1 };

void showBox(const char* caption, const char* text, BoxIcon icon);

/// Shows a box on screen; returns false when no GUI application exists.
using BoxPresenter = bool (*)(const char* caption, const char* text, BoxIcon icon);
/// Installed once by the GUI corner of the library when it is loaded.
void setBoxPresenter(BoxPresenter presenter);

}  // namespace varnex
