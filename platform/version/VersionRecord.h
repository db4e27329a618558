#pragma once
// A version record embedded in a library or executable as an ELF note, so a
// tool can read a file's version without loading it (dlopen would run the
// file's constructors and may fail for reasons unrelated to its version).
//
// Layout: section ".note.kestrum.version", one note with owner "Kestrum",
// type 1 and the version text as descriptor, e.g. "1, 0, 0, 2" (the four
// numbers major, minor, release, build separated by ", ").

#include <cstdint>

#define KESTRUM_NOTE_OWNER "Kestrum"
#define KESTRUM_NOTE_TYPE_VERSION 1u
#define KESTRUM_NOTE_SECTION ".note.kestrum.version"

#define KESTRUM_VERSION_PAD4(n) (((n) + 3u) & ~3u)

// Use once per binary, at namespace scope: KESTRUM_VERSION_RECORD("1, 0, 0, 2");
#define KESTRUM_VERSION_RECORD(text)                                                   \
  namespace {                                                                          \
  struct KestrumVersionNote {                                                          \
    std::uint32_t namesz, descsz, type;                                                \
    char name[KESTRUM_VERSION_PAD4(sizeof(KESTRUM_NOTE_OWNER))];                       \
    char desc[KESTRUM_VERSION_PAD4(sizeof(text))];                                     \
  };                                                                                   \
  __attribute__((section(KESTRUM_NOTE_SECTION), used, aligned(4)))                     \
  const KestrumVersionNote kestrumVersionNote = {sizeof(KESTRUM_NOTE_OWNER),           \
                                                 sizeof(text),                         \
                                                 KESTRUM_NOTE_TYPE_VERSION,            \
                                                 KESTRUM_NOTE_OWNER, text};            \
  }
