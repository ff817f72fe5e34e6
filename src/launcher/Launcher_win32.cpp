// zelvorsound-cli as installed on Windows: starts the program from the folder "programs"
// beside this launcher with its folder outside the installation, as data/launcher.sh.in does
// on Linux. The program works in the folder --folder or ZELVOR_FOLDER names, else in the
// current folder; so this sets ZELVOR_FOLDER to %USERPROFILE%\ZelvorSound when neither is
// given, making that folder on first use and seeding it with the demo prompts. The program
// gets the command line as it was typed, the console and the standard handles; its exit
// code is the launcher's. Ctrl-C reaches both: the launcher leaves it to the program.
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

// Whether the arguments choose the folder themselves, or only print (--help, -h, --version).
bool FolderChosen(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a == L"--folder" || a.rfind(L"--folder=", 0) == 0 || a == L"--help" || a == L"-h" ||
        a == L"--version")
      return true;
  }
  return false;
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
// quiet sends its standard output nowhere.
DWORD Run(std::wstring commandLine, bool quiet) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  HANDLE nul = INVALID_HANDLE_VALUE;
  if (quiet) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = nul;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION pi{};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &si, &pi);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) return static_cast<DWORD>(-1);
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

int wmain(int argc, wchar_t** argv) {
  SetConsoleCtrlHandler(LeaveToTheProgram, TRUE);
  wchar_t self[32768];
  const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
  std::wstring program(self, n);
  program = program.substr(0, program.find_last_of(L"\\/") + 1) + L"programs\\" + kName + L".exe";
  const std::wstring quoted = L"\"" + program + L"\"";

  wchar_t given[4];
  const bool fromEnvironment = GetEnvironmentVariableW(L"ZELVOR_FOLDER", given, 4) > 0;
  if (!fromEnvironment && !FolderChosen(argc, argv)) {
    wchar_t profile[32768];
    const DWORD p = GetEnvironmentVariableW(L"USERPROFILE", profile, 32768);
    if (p == 0 || p >= 32768) {
      Say(L"USERPROFILE is not set, so %USERPROFILE%\\ZelvorSound is unknown; set ZELVOR_FOLDER "
          L"or give --folder DIR");
      return 2;
    }
    const std::wstring folder = std::wstring(profile, p) + L"\\ZelvorSound";
    SetEnvironmentVariableW(L"ZELVOR_FOLDER", folder.c_str());
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
      if (CreateDirectoryW(folder.c_str(), nullptr) &&
          Run(quoted + L" demo --folder \"" + folder + L"\"", true) == 0)
        Say(L"made " + folder +
            L" for your prompts, with four demo prompts and a ZelvorSound.ini naming them "
            L"(ZELVOR_FOLDER or --folder chooses another folder)");
      else
        Say(L"could not make " + folder +
            L" with the demo prompts (ZELVOR_FOLDER or --folder chooses another folder)");
    }
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      Say(folder +
          L" is not a folder; move it away, or choose another folder with ZELVOR_FOLDER or "
          L"--folder");
      return 2;
    }
  }
  const DWORD code = Run(quoted + ArgumentsOf(GetCommandLineW()), false);
  if (code == static_cast<DWORD>(-1)) {
    Say(L"cannot start " + program);
    return 2;
  }
  return static_cast<int>(code);
}
