// A shell that records what the logic tells the user, and answers the open dialog with
// whatever the test queued. Nothing is shown, nothing waits.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "rtl/Shell.h"

class TFakeShell : public TShell {
 public:
  void ShowMessage(const std::string& text, TMessageSeverity severity) override {
    Messages.push_back(text);
    Severities.push_back(severity);
  }
  void StatusClear() override {
    StatusLines.clear();
    ++StatusClears;
  }
  void StatusShow() override { StatusShown = true; }
  void StatusAdd(const std::string& line) override { StatusLines.push_back(line); }
  std::optional<std::string> PickVoxFile() override {
    ++Picks;
    if (PickAnswers.empty()) return std::nullopt;
    std::optional<std::string> answer = PickAnswers.front();
    PickAnswers.pop_front();
    return answer;
  }
  void ProcessMessages() override { ++Processed; }
  // Runs the test's hook, if any, so a wait loop can be ended from the test.
  void WaitForEvents() override {
    ++Waits;
    if (OnWait) OnWait();
  }

  std::vector<std::string> Messages;
  std::vector<TMessageSeverity> Severities;  // one for each message
  std::vector<std::string> StatusLines;
  int StatusClears = 0;
  bool StatusShown = false;
  std::deque<std::optional<std::string>> PickAnswers;  // nullopt: the user cancels
  int Picks = 0;
  int Processed = 0;
  int Waits = 0;
  std::function<void()> OnWait;
};
