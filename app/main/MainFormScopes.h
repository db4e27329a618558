#pragma once
// Scope guards of the main window's long operations: each undoes its mark on
// every way out, so an exception that reaches the event loop leaves the
// window usable.

#include "TMainForm.h"

/// Marks the window in use while a workflow, rebuild or waiting list
/// operation runs; workflows and rebuilds wait until it is free.
class InUse {
 public:
  explicit InUse(int& depth) : depth_(depth) { ++depth_; }
  ~InUse() { --depth_; }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;

 private:
  int& depth_;
};

/// SetBusy(true) now, SetBusy(false) when the scope ends.
class BusyScope {
 public:
  explicit BusyScope(TMainForm* form) : form_(form) { form_->SetBusy(true); }
  ~BusyScope() { form_->SetBusy(false); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  TMainForm* form_;
};
