#include "app/Application.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QLocale>
#include <QRegularExpression>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/Dialogs.h"
#include "app/Main.h"
#include "app/MessageDrain.h"
#include "app/QtShell.h"
#include "app/Unit1.h"
#include "package/ProgramFolder.h"
#include "platform/files.h"
#include "rtl/SysUtils.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool ConnectsTo(const std::string& socketPath, bool abstract) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t offset = abstract ? 1 : 0;
  if (socketPath.size() + offset >= sizeof addr.sun_path) {
    ::close(fd);
    return false;
  }
  std::memcpy(addr.sun_path + offset, socketPath.data(), socketPath.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                         socketPath.size() + (abstract ? 0 : 1));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  ::close(fd);
  return ok;
}

// A local X display (":N" or "unix:N", with an optional ".screen") answers on its socket;
// a display on another host is left for the toolkit to reach.
bool XDisplayReachable(const std::string& display) {
  std::string rest;
  if (display.rfind(':', 0) == 0)
    rest = display.substr(1);
  else if (display.rfind("unix:", 0) == 0)
    rest = display.substr(5);
  else
    return true;
  std::string number = rest.substr(0, rest.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  std::string path = "/tmp/.X11-unix/X" + number;
  return ConnectsTo(path, true) || ConnectsTo(path, false);
}

bool WaylandReachable(const std::string& wayland) {
  std::string path = wayland;
  if (path.front() != '/') {
    std::string runtime = Env("XDG_RUNTIME_DIR");
    if (runtime.empty()) return false;
    path = runtime + "/" + wayland;
  }
  return ConnectsTo(path, false);
}

}  // namespace

std::optional<std::string> NoDisplayReason() {
  if (!Env("QT_QPA_PLATFORM").empty()) return std::nullopt;
  std::string display = Env("DISPLAY"), wayland = Env("WAYLAND_DISPLAY");
  if (!display.empty() && XDisplayReachable(display)) return std::nullopt;
  if (!wayland.empty() && WaylandReachable(wayland)) return std::nullopt;
  std::string why = display.empty() && wayland.empty()
                        ? "DISPLAY and WAYLAND_DISPLAY are not set"
                        : "the display in DISPLAY/WAYLAND_DISPLAY does not answer";
  return "zelvorsound: no display to show the window on (" + why +
         "); run it headless with QT_QPA_PLATFORM=offscreen zelvorsound, or use zelvorsound-cli";
}

void UseLocaleSeparators(const QLocale& locale) {
  TFormatSettings& fs = FormatSettings();
  QString decimal = locale.decimalPoint();
  if (decimal.size() == 1 && decimal[0].unicode() < 0x80)
    fs.DecimalSeparator = static_cast<char>(decimal[0].unicode());
  // The time separator is what the locale's short time format puts after the hours.
  QString time = locale.timeFormat(QLocale::ShortFormat);
  qsizetype h = time.indexOf(QRegularExpression("[hH]"));
  if (h >= 0) {
    while (h < time.size() && (time[h] == 'h' || time[h] == 'H')) ++h;
    if (h < time.size() && time[h].unicode() < 0x80 && !time[h].isLetterOrNumber() &&
        time[h] != ' ')
      fs.TimeSeparator = static_cast<char>(time[h].unicode());
  }
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  // The title of the task bar button; window captions stay as each window sets them.
  setApplicationName(kApplicationTitle);
  // Lets a desktop tie the window to its menu entry and icon.
  setDesktopFileName("org.zelvorsound.ZelvorSound");
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    HandleException(&e);
  } catch (...) {
    HandleException(nullptr);
  }
  return false;
}

void TApplication::HandleException(const std::exception* e) {
  ShowMessageBox(activeWindow(), e ? e->what() : "Unknown error", msError);
}

namespace {

// What the toolkit says while it opens the display is held back: when the display fails
// to open (a remote display, a missing platform library) the toolkit gives up for good, and
// the user gets the program's one line instead of its messages and its abort.
QStringList HeldBackMessages;
QString FirstDisplayComplaint;

void StartUpMessageHandler(QtMsgType type, const QMessageLogContext& context,
                           const QString& message) {
  if (type == QtFatalMsg) {
    QString reason = FirstDisplayComplaint.isEmpty() ? message.section('\n', 0, 0).trimmed()
                                                     : FirstDisplayComplaint;
    std::fprintf(stderr,
                 "zelvorsound: no display to show the window on (%s); run it headless with "
                 "QT_QPA_PLATFORM=offscreen zelvorsound, or use zelvorsound-cli\n",
                 qPrintable(reason));
    std::fflush(stderr);
    ::_exit(2);
  }
  if (FirstDisplayComplaint.isEmpty() && QByteArray(context.category).startsWith("qt.qpa"))
    FirstDisplayComplaint = message.section('\n', 0, 0).trimmed();
  HeldBackMessages << qFormatLogMessage(type, context, message);
}

const char* const kUsageText =
    "Usage: zelvorsound [--folder DIR] [Qt options]\n"
    "\n"
    "Records, codes and packs the voice prompts of the instrument in a window: a take\n"
    "for each of the 128 slots, its \".vox\" file, and the package \"Sounds.zvd\" built\n"
    "from the sources that \"ZelvorSound.ini\" names.\n"
    "\n"
    "Options:\n"
    "  --folder DIR   work in DIR: \"ZelvorSound.ini\", the takes, the \".vox\" files,\n"
    "                 \"Sounds.zvd\", the working files and \"WAV Export\" lie there\n"
    "  --help         show this text and end\n"
    "  --version      show the version and end\n"
    "\n"
    "The folder: --folder DIR, else ZELVOR_FOLDER, else the current directory when it\n"
    "holds \"ZelvorSound.ini\", else ~/ZelvorSound for the installed zelvorsound (made with\n"
    "demo prompts on first use) and the executable's own folder for a copy elsewhere.\n"
    "The sound devices are the ALSA devices that InputDevice= and OutputDevice= name in\n"
    "the [Audio] section of \"ZelvorSound.ini\" (default \"default\"; 'zelvorsound-cli\n"
    "devices' lists them).\n"
    "\n"
    "Environment:\n"
    "  ZELVOR_FOLDER        the folder to work in when --folder is not given\n"
    "  ZELVOR_INSTALLED     1: started as the installed command (its launcher sets it)\n"
    "  ZELVOR_AUDIO         alsa (the sound card, default) or virtual (no sound card)\n"
    "  ZELVOR_ALSA_DEVICE   the ALSA device for both directions, over the INI's choice\n"
    "  QT_QPA_PLATFORM      offscreen runs the window without a screen\n"
    "\n"
    "Exit status:\n"
    "  0 the window was closed, 2 no display or no usable folder, 64 bad usage\n";

// What the window's command line asks for.
struct TCommandLine {
  std::string Folder;  // --folder DIR; empty when not given
  bool Help = false;
  bool Version = false;
  std::string Error;  // bad usage, as the line the program prints
};

// Takes the program's own options out of argv (argc shrinks accordingly) and leaves the
// rest for the toolkit.
TCommandLine ParseCommandLine(int& argc, char** argv) {
  TCommandLine line;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      line.Help = true;
    } else if (arg == "--version") {
      line.Version = true;
    } else if (arg == "--folder" || arg.rfind("--folder=", 0) == 0) {
      if (arg == "--folder") {
        if (i + 1 >= argc) {
          line.Error = "--folder needs a folder";
          break;
        }
        line.Folder = argv[++i];
      } else {
        line.Folder = arg.substr(9);
      }
      if (line.Folder.empty()) line.Error = "--folder needs a folder";
    } else {
      argv[kept++] = argv[i];  // for the toolkit
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  return line;
}

}  // namespace

TFolderChoice ChooseFolder(const std::string& given) {
  const TProgramFolder choice = ChooseProgramFolder(given, TPortableDefault::ExecutableFolder);
  if (!choice.Error.empty()) return {"", choice.Error};
  if (choice.Made)
    std::fprintf(stderr,
                 "zelvorsound: made %s for your prompts, with four demo prompts and a "
                 "ZelvorSound.ini naming them (ZELVOR_FOLDER or --folder chooses another "
                 "folder)\n",
                 choice.Folder.c_str());
  if (!choice.Warning.empty()) std::fprintf(stderr, "zelvorsound: %s\n", choice.Warning.c_str());
  if (choice.Source != TFolderSource::Given && choice.Source != TFolderSource::Environment)
    return {choice.Folder, ""};
  // A folder the user named must be there: the window makes none of its own accord.
  const std::string named = given.empty() ? Env("ZELVOR_FOLDER") : given;
  const std::string source = FolderSourceName(choice.Source);
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::file_status st = fs::status(choice.Folder.substr(0, choice.Folder.size() - 1), ec);
  if (!fs::exists(st)) return {"", "the folder \"" + named + "\" (" + source + ") does not exist"};
  if (!fs::is_directory(st)) return {"", "\"" + named + "\" (" + source + ") is not a folder"};
  return {choice.Folder, ""};
}

int RunProgram(int argc, char** argv) {
  TCommandLine line = ParseCommandLine(argc, argv);
  if (!line.Error.empty()) {
    std::fprintf(stderr, "zelvorsound: %s (zelvorsound --help lists the options)\n",
                 line.Error.c_str());
    return 64;
  }
  if (line.Help) {
    std::fputs(kUsageText, stdout);
    return 0;
  }
  if (line.Version) {
    std::printf("zelvorsound %s\n", ZS_VERSION);
    return 0;
  }
  TFolderChoice folder = ChooseFolder(line.Folder);
  if (!folder.Error.empty()) {
    std::fprintf(stderr, "zelvorsound: %s\n", folder.Error.c_str());
    return 2;
  }
  if (std::optional<std::string> reason = NoDisplayReason()) {
    std::fprintf(stderr, "%s\n", reason->c_str());
    return 2;
  }
  QtMessageHandler previous = qInstallMessageHandler(StartUpMessageHandler);
  TApplication app(argc, argv);
  qInstallMessageHandler(previous);
  if (argc > 1) {  // neither the program's option nor one the toolkit took
    std::fprintf(stderr,
                 "zelvorsound: unknown argument '%s' (zelvorsound --help lists the options)\n",
                 argv[1]);
    return 64;
  }
  // The display opened: what was held back is only news now.
  for (const QString& line : HeldBackMessages) std::fprintf(stderr, "%s\n", qPrintable(line));
  HeldBackMessages.clear();
  UseLocaleSeparators(QLocale::system());
  // Device notifications posted to this thread's queue are dispatched by Qt's event loop.
  InstallGuiMessageDrain();

  TMainForm mainForm(folder.Folder);
  TForm1 form1;  // created hidden
  TQtShell shell(mainForm, form1);
  mainForm.SetShell(&shell);
  // What goes wrong inside a device's notification reaches the user as a message box too.
  TDeviceErrorRoute deviceErrors(mainForm);
  // The main window was created first: closing it ends the program, status window or not.
  QObject::connect(&mainForm, &TMainForm::Closed, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  mainForm.show();
  int result = app.exec();
  mainForm.SetShell(nullptr);  // the shell goes first
  return result;
}
