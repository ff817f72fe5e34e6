// What a write of the INI keeps of the file on Linux: its permission bits and its owner.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "TempDir.h"
#include "platform/profile.h"

namespace {

TEST(Profile, WriteKeepsThePermissionBitsOfTheFile) {
  TempDir d;
  std::string f = d.Write("a.ini", "[S]\n");
  ASSERT_EQ(::chmod(f.c_str(), 0600), 0);
  ASSERT_TRUE(WritePrivateProfileString("S", "A", "1", f));
  struct stat st;
  ASSERT_EQ(::stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Profile, WriteKeepsTheOwnerOfTheFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  TempDir d;
  std::string f = d.Write("a.ini", "[S]\n");
  ASSERT_EQ(::chown(f.c_str(), 1234, 1235), 0);
  ASSERT_TRUE(WritePrivateProfileString("S", "A", "1", f));
  struct stat st;
  ASSERT_EQ(::stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 1235u);
}

}  // namespace
