// zelvorsound-cli as installed on Windows: starts the program from the folder "programs"
// beside this launcher, telling it that it is the installed command (ZELVOR_INSTALLED=1, the
// one signal data/launcher.sh.in gives on Linux too). An installed program never works
// beside its own binary: without --folder, ZELVOR_FOLDER or a "ZelvorSound.ini" in the
// current folder it works in %USERPROFILE%\ZelvorSound, which it makes and seeds with the
// demo prompts on first use. The program gets the command line as it was typed, the console
// and the standard handles; its exit code is the launcher's. Ctrl-C reaches both: the
// launcher leaves it to the program.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

const wchar_t kName[] = L"zelvorsound-cli";

// The command line after the launcher's own name, as the system parses that name: quoted up
// to the next quote, else up to the first blank.
std::wstring ArgumentsOf(const wchar_t* line) {
  const wchar_t* p = line;
  if (*p == L'"') {
    for (++p; *p != 0 && *p != L'"'; ++p) {
    }
    if (*p == L'"') ++p;
  } else {
    while (*p != 0 && *p != L' ' && *p != L'\t') ++p;
  }
  return p;
}

void Say(const std::wstring& text) {
  const std::wstring line = std::wstring(kName) + L": " + text + L"\n";
  const int n = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), n,
                      nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

// Runs the command line, waits for it and returns its exit code; -1 when it cannot start.
DWORD Run(std::wstring commandLine) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                      &pi))
    return static_cast<DWORD>(-1);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

BOOL WINAPI LeaveToTheProgram(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

}  // namespace

int wmain(int, wchar_t**) {
  SetConsoleCtrlHandler(LeaveToTheProgram, TRUE);
  wchar_t self[32768];
  const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
  std::wstring program(self, n);
  program = program.substr(0, program.find_last_of(L"\\/") + 1) + L"programs\\" + kName + L".exe";
  const std::wstring quoted = L"\"" + program + L"\"";

  SetEnvironmentVariableW(L"ZELVOR_INSTALLED", L"1");
  const DWORD code = Run(quoted + ArgumentsOf(GetCommandLineW()));
  if (code == static_cast<DWORD>(-1)) {
    Say(L"cannot start " + program);
    return 2;
  }
  return static_cast<int>(code);
}
