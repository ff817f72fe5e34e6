// The console-command runner that sits on the main window. The program never starts a
// command on it, so it holds only what the window sets and what a caller could read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rtl/Classes.h"

// Where a line of a command's output came from.
enum TOutputType { otEntireLine, otBeginningOfLine };

class TDosCommand : public TComponent {
 public:
  using TNewLineEvent =
      std::function<void(TComponent* Sender, const std::string& NewLine, TOutputType OutputType)>;
  using TNotifyEvent = std::function<void(TComponent* Sender)>;

  explicit TDosCommand(TComponent* owner = nullptr) : TComponent(owner) {}

  // --- published ---
  const std::string& GetCommandLine() const { return FCommandLine; }
  void SetCommandLine(const std::string& value) { FCommandLine = value; }
  bool GetInputToOutput() const { return FInputToOutput; }
  void SetInputToOutput(bool value) { FInputToOutput = value; }
  int32_t GetMaxTimeAfterBeginning() const { return FMaxTimeAfterBeginning; }
  void SetMaxTimeAfterBeginning(int32_t value) { FMaxTimeAfterBeginning = value; }
  int32_t GetMaxTimeAfterLastOutput() const { return FMaxTimeAfterLastOutput; }
  void SetMaxTimeAfterLastOutput(int32_t value) { FMaxTimeAfterLastOutput = value; }
  TNewLineEvent OnNewLine;
  TNotifyEvent OnTerminated;

  // --- public ---
  const std::vector<std::string>& GetLines() const { return FLines; }

 protected:
  virtual void DoNewLine(const std::string& line, TOutputType type) {
    FLines.push_back(line);
    if (OnNewLine) OnNewLine(this, line, type);
  }
  virtual void DoTerminated() {
    if (OnTerminated) OnTerminated(this);
  }

 private:
  std::string FCommandLine;
  std::vector<std::string> FLines;
  bool FInputToOutput = false;
  int32_t FMaxTimeAfterBeginning = 0;
  int32_t FMaxTimeAfterLastOutput = 0;
};
