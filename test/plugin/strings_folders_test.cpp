#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "utils/strings.h"

namespace Zarnik {
namespace {

using Paths = std::vector<std::string>;

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

std::string Cleaned(std::string path) {
  Strings::CleanFilePath(path);
  return path;
}

TEST(PathText, JoinSplitAndClean) {
  EXPECT_EQ("a/b", Strings::MakePath("a/", "b"));
  EXPECT_EQ("a/b", Strings::MakePath(std::string("a"), "b"));
  EXPECT_EQ("/b", Strings::MakePath("a", "/b"));
  EXPECT_EQ("b", Strings::MakePath("", "b"));
  EXPECT_EQ("a", Strings::MakePath("a", ""));

  EXPECT_EQ("/x", Strings::FolderFromFile("/x/y/"));
  EXPECT_EQ("", Strings::FolderFromFile("/x"));
  EXPECT_EQ("", Strings::FolderFromFile("///"));
  EXPECT_EQ("name.txt", Strings::FolderFromFile("name.txt"));

  EXPECT_EQ("//u", Cleaned("////u"));
  EXPECT_EQ("\\/u", Cleaned("/\\\\/u"));
  EXPECT_EQ("//u", Cleaned("//u"));
  EXPECT_EQ("/u", Cleaned("/u"));
}

class ScratchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zarniksu-folders.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }
  std::string root_;
};

TEST_F(ScratchFolder, MakeFolderCreatesOneParentLevelOnRequest) {
  const std::string child = root_ + "/parent/child";
  EXPECT_EQ(-1, Strings::MakeFolder(child, false));
  EXPECT_EQ(0, Strings::MakeFolder(child, true));
  EXPECT_TRUE(IsFolder(child));
  EXPECT_EQ(-1, Strings::MakeFolder(child, true));             // exists: harmless failure
  EXPECT_EQ(-1, Strings::MakeFolder(root_ + "/a/b/c", true));  // one level only
}

TEST_F(ScratchFolder, CleanUpEmptiesRegisteredFoldersButKeepsFullSubfolders) {
  const std::string previews = root_ + "/previews";
  ASSERT_EQ(0, Strings::MakeFolder(previews + "/full", true));
  ASSERT_EQ(0, Strings::MakeFolder(previews + "/empty", false));
  Touch(previews + "/a.png");
  Touch(previews + "/full/keep.png");
  EXPECT_TRUE(Strings::DirectoryList(root_ + "/missing").empty());
  Paths entries = Strings::DirectoryList(previews + "/");
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ((Paths{previews + "/a.png", previews + "/empty", previews + "/full"}), entries);

  Strings::RegisterFolderForCleanup(previews);
  Strings::RegisterFolderForCleanup(previews);  // duplicates are harmless
  Strings::CleanUpAllFolders();
  EXPECT_EQ((Paths{previews + "/full"}), Strings::DirectoryList(previews));
  EXPECT_TRUE(IsFolder(previews));
}

}  // namespace
}  // namespace Zarnik
