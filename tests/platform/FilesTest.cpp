#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "ErrorOf.h"
#include "TempDir.h"
#include "platform/files.h"
#include "rtl/SysUtils.h"

namespace {

TEST(ExeFolder, IsTheFolderOfThisTestProgramWithItsSlash) {
  // A copy started from a deep folder (below) is told through the environment what to expect.
  const char* expect = std::getenv("ZS_EXPECT_EXE_FOLDER");
  if (expect != nullptr && std::string(expect) == "too long") {
    // The program is named as it was started: the system could not give its whole path.
    const std::string error = ErrorOf([] { ExeFolder(); });
    EXPECT_EQ(error.rfind("The folder of the program \"", 0), 0u) << error;
    EXPECT_TRUE(error.ends_with("/test_platform\" cannot be used: File name too long")) << error;
    return;
  }
  std::string f = ExeFolder();
  ASSERT_FALSE(f.empty());
  EXPECT_EQ(f.front(), '/');
  EXPECT_EQ(f.back(), '/');
  if (expect != nullptr) {
    EXPECT_EQ(f, expect);
  }
  EXPECT_TRUE(FileExists(f + "test_platform"));
}

TEST(ExeFolder, IsThePathUpToItsLastSlashWhateverItsLength) {
  EXPECT_EQ(ExeFolderOf("/opt/tools/rec"), "/opt/tools/");
  EXPECT_EQ(ExeFolderOf("/rec"), "/");
  EXPECT_EQ(ExeFolderOf("rec"), "");
  std::string deep = "/" + std::string(200, 'a') + "/" + std::string(100, 'b') + "/rec";
  EXPECT_EQ(ExeFolderOf(deep), deep.substr(0, deep.size() - 3));
}

// A copy of this test program in a chain of folders of 200-character names, `levels` deep
// below parent, made through open folders one at a time so the whole path may be longer than
// the system can name. The copy runs the test above; gives its exit status and output.
struct TDeepCopy {
  std::vector<int> Fds;  // the open folders of the chain, parent first
  const std::string Name = std::string(200, 'd');

  TDeepCopy(const std::string& parent, int levels) {
    Fds.push_back(::open(parent.c_str(), O_RDONLY | O_DIRECTORY));
    for (int i = 0; i < levels; ++i) {
      ::mkdirat(Fds.back(), Name.c_str(), 0755);
      Fds.push_back(::openat(Fds.back(), Name.c_str(), O_RDONLY | O_DIRECTORY));
    }
    int in = ::open((ExeFolder() + "test_platform").c_str(), O_RDONLY);
    int out = ::openat(Fds.back(), "test_platform", O_WRONLY | O_CREAT | O_TRUNC, 0755);
    struct stat st;
    ::fstat(in, &st);
    for (off_t done = 0; done < st.st_size;)
      if (::sendfile(out, in, &done, static_cast<size_t>(st.st_size - done)) <= 0) break;
    ::close(in);
    ::close(out);
  }
  ~TDeepCopy() {  // undone from the bottom, by names relative to open folders
    ::unlinkat(Fds.back(), "test_platform", 0);
    for (size_t i = Fds.size() - 1; i > 0; --i) {
      ::close(Fds[i]);
      ::unlinkat(Fds[i - 1], Name.c_str(), AT_REMOVEDIR);
    }
    ::close(Fds[0]);
  }

  std::pair<int, std::string> Run(const std::string& expect) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.push_back("ZS_EXPECT_EXE_FOLDER=" + expect);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {-1, "no pipe"};
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(pipeFds[1], 1);
      ::dup2(pipeFds[1], 2);
      // Started through the open folder: no path to it is ever spelled out.
      char name[] = "test_platform";
      char filter[] = "--gtest_filter=ExeFolder.IsTheFolderOfThisTestProgramWithItsSlash";
      char* argv[] = {name, filter, nullptr};
      ::execveat(Fds.back(), name, argv, envp.data(), 0);
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string output;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) output.append(buf, n);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }
};

TEST(ExeFolder, ADeepFolderIsUsedWholeAndOneTooLongIsAnError) {
  TempDir d;
  const std::string parent = std::filesystem::canonical(d.Folder()).string() + "/";
  {
    // Longer than any cut the program once made: the folder comes back whole.
    TDeepCopy copy(parent, 2);
    const std::string folder = parent + copy.Name + "/" + copy.Name + "/";
    ASSERT_GT(folder.size(), 400u);
    auto [status, output] = copy.Run(folder);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
  }
  {
    // Longer than the system can name: an error, never another folder.
    TDeepCopy copy(parent, 25);
    auto [status, output] = copy.Run("too long");
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
  }
}

TEST(Files, FileExistsIsForFilesOnly) {
  TempDir d;
  EXPECT_FALSE(FileExists(d.Path("a.wav")));
  d.Write("a.wav", "x");
  EXPECT_TRUE(FileExists(d.Path("a.wav")));
  EXPECT_FALSE(FileExists(d.Folder()));
}

TEST(Files, CreateDirectoryMakesOneFolder) {
  TempDir d;
  EXPECT_TRUE(CreateDirectory(d.Path("WAV Export")));
  struct stat st;
  ASSERT_EQ(::stat(d.Path("WAV Export").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_FALSE(CreateDirectory(d.Path("WAV Export")));  // there already
  EXPECT_FALSE(CreateDirectory(d.Path("a/b")));         // no parent
}

TEST(Files, CopyFileReplacesOrFailsIfExists) {
  TempDir d;
  d.Write("src.wav", std::string(200000, 'S'));
  EXPECT_TRUE(CopyFile(d.Path("src.wav"), d.Path("dst.wav"), true));
  EXPECT_EQ(d.Read("dst.wav"), std::string(200000, 'S'));

  d.Write("old.wav", "old");
  EXPECT_FALSE(CopyFile(d.Path("src.wav"), d.Path("old.wav"), true));
  EXPECT_EQ(d.Read("old.wav"), "old");
  EXPECT_TRUE(CopyFile(d.Path("src.wav"), d.Path("old.wav"), false));
  EXPECT_EQ(d.Read("old.wav"), std::string(200000, 'S'));

  d.Write("short.wav", "ab");
  EXPECT_TRUE(CopyFile(d.Path("short.wav"), d.Path("old.wav"), false));
  EXPECT_EQ(d.Read("old.wav"), "ab");  // replaced, not overlaid
}

TEST(Files, CopyFileFailuresLeaveTheDestinationAlone) {
  TempDir d;
  EXPECT_FALSE(CopyFile(d.Path("missing.wav"), d.Path("dst.wav"), false));
  EXPECT_FALSE(d.Exists("dst.wav"));

  std::string src = d.Write("src.wav", "data");
  // Copying a file onto itself must not empty it.
  EXPECT_FALSE(CopyFile(src, src, false));
  EXPECT_FALSE(CopyFile(src, d.Folder() + "./src.wav", false));
  EXPECT_EQ(d.Read("src.wav"), "data");

  std::string ro = d.Write("ro.wav", "keep");
  ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
  EXPECT_FALSE(CopyFile(src, ro, false));  // read-only for everyone, root included
  EXPECT_EQ(d.Read("ro.wav"), "keep");

  EXPECT_FALSE(CopyFile(src, d.Path("no/such/dst.wav"), false));
  EXPECT_FALSE(CopyFile(d.Folder(), d.Path("dir.wav"), false));
}

TEST(Files, PlainNamesStayInTheirFolder) {
  for (const char* ok : {"Hello", "Hello.WAV", "a b", "..x", "x..", "...", "-", "sub."})
    EXPECT_TRUE(IsPlainName(ok)) << ok;
  for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "/abs", "\\x", "x/"})
    EXPECT_FALSE(IsPlainName(bad)) << bad;
  // Names that may reach into sub-folders, but never out of the folder.
  for (const char* ok : {"Hello.WAV", "sub/Hello.WAV", "sub\\Hello", "..x/y", "a/./b", "x..", "C"})
    EXPECT_TRUE(StaysInFolder(ok)) << ok;
  for (const char* bad : {"", "..", "../x", "sub/../../x", "a\\..\\..\\x", "x/..", "/etc/x", "\\x",
                          "C:\\Temp\\x", "c:x"})
    EXPECT_FALSE(StaysInFolder(bad)) << bad;
}

}  // namespace
