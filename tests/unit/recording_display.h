// A display that records every operation the session calls, in order.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "session/display.h"

namespace ulmar::testing {

class RecordingDisplay : public Display {
 public:
  std::vector<std::string> calls;  // e.g. "overall 10", "status text", "failure text"
  int processed = 0;               // ProcessMessages calls
  std::vector<std::string> offered_files;  // what the clean-up offer was given
  std::string offered_install_dir;
  std::function<void()> on_failure;                    // called as a failure is reported
  std::function<void(const std::string&)> on_status;  // called as a status line is shown

  void SetOverallProgress(int percent) override { calls.push_back("overall " + std::to_string(percent)); }
  void SetStageProgress(int percent) override { calls.push_back("stage " + std::to_string(percent)); }
  void ShowStatus(const std::string& text) override {
    calls.push_back("status " + text);
    if (on_status) on_status(text);
  }
  void ClearStatus() override { calls.push_back("clear"); }
  void ReportFailure(const std::string& text) override {
    calls.push_back("failure " + text);
    if (on_failure) on_failure();
  }
  void ReportSuccess(const std::string& text) override { calls.push_back("success " + text); }
  void StartCountdown() override { calls.push_back("countdown"); }
  void ShowCleanupOffer(const std::vector<std::string>& foreign_files, const std::string& install_dir) override {
    calls.push_back("cleanup offer");
    offered_files = foreign_files;
    offered_install_dir = install_dir;
  }
  void ProcessMessages() override { ++processed; }
};

}  // namespace ulmar::testing
