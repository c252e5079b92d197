#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "utils/strings.h"

namespace Zarnik {
namespace {

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

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

TEST(MakePath, JoinsWithOneSeparator) {
  EXPECT_EQ("a/b", Strings::MakePath("a/", "b"));
  EXPECT_EQ("a\\b", Strings::MakePath("a\\", "b"));
  EXPECT_EQ("a/b", Strings::MakePath(std::string("a"), "b"));
  EXPECT_EQ("/b", Strings::MakePath("a", "/b"));
  EXPECT_EQ("\\b", Strings::MakePath("a", "\\b"));
  EXPECT_EQ("b", Strings::MakePath("", "b"));
  EXPECT_EQ("a", Strings::MakePath("a", ""));
  EXPECT_EQ(std::wstring(L"a/b"), Strings::MakePath(std::wstring(L"a"), std::wstring(L"b")));
}

TEST(FolderFromFile, CutsAtTheLastSlash) {
  EXPECT_EQ("/x", Strings::FolderFromFile("/x/y/"));
  EXPECT_EQ("/x", Strings::FolderFromFile("/x/y"));
  EXPECT_EQ("", Strings::FolderFromFile("/x"));
  EXPECT_EQ("", Strings::FolderFromFile("///"));
  EXPECT_EQ("name.txt", Strings::FolderFromFile("name.txt"));
  EXPECT_EQ("a//b", Strings::FolderFromFile("a//b/c"));
}

TEST(CleanFilePath, ShortensLongLeadingSeparatorRuns) {
  auto clean = [](std::string path) {
    Strings::CleanFilePath(path);
    return path;
  };
  EXPECT_EQ("//u", clean("////u"));
  EXPECT_EQ("\\/u", clean("/\\\\/u"));
  EXPECT_EQ("//u", clean("//u"));
  EXPECT_EQ("/u", clean("/u"));
  EXPECT_EQ("u///", clean("u///"));
  EXPECT_EQ("//", clean("/////"));
  EXPECT_EQ("", clean(""));
}

TEST_F(ScratchFolder, MakeFolderCreatesOneParentLevelOnRequest) {
  const std::string parent = root_ + "/parent";
  const std::string child = parent + "/child";
  EXPECT_EQ(-1, Strings::MakeFolder(child, false));
  EXPECT_FALSE(Exists(parent));

  EXPECT_EQ(0, Strings::MakeFolder(child, true));
  EXPECT_TRUE(IsFolder(child));
  EXPECT_EQ(-1, Strings::MakeFolder(child, true));  // exists already: harmless failure

  EXPECT_EQ(-1, Strings::MakeFolder(root_ + "/a/b/c", true));  // only one level is made
  EXPECT_TRUE(IsFolder(root_ + "/a/b") == false);
}

TEST_F(ScratchFolder, DirectoryListGivesFullPathsWithoutDots) {
  EXPECT_TRUE(Strings::DirectoryList(root_ + "/missing").empty());
  EXPECT_TRUE(Strings::DirectoryList(root_).empty());

  Touch(root_ + "/f1");
  Touch(root_ + "/f2");
  ASSERT_EQ(0, Strings::MakeFolder(root_ + "/sub", false));
  Touch(root_ + "/sub/inner");

  std::vector<std::string> entries = Strings::DirectoryList(root_ + "/");
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ((std::vector<std::string>{root_ + "/f1", root_ + "/f2", root_ + "/sub"}), entries);
}

TEST_F(ScratchFolder, CleanUpRemovesFilesAndOnlyEmptySubfolders) {
  const std::string previews = root_ + "/previews";
  const std::string textures = root_ + "/textures";
  ASSERT_EQ(0, Strings::MakeFolder(previews, false));
  ASSERT_EQ(0, Strings::MakeFolder(textures, false));
  Touch(previews + "/a.png");
  ASSERT_EQ(0, Strings::MakeFolder(previews + "/empty", false));
  ASSERT_EQ(0, Strings::MakeFolder(previews + "/full", false));
  Touch(previews + "/full/keep.png");
  Touch(textures + "/t.jpg");

  Strings::CleanUpFolder(previews);
  EXPECT_EQ((std::vector<std::string>{previews + "/full"}), Strings::DirectoryList(previews));
  EXPECT_TRUE(Exists(previews + "/full/keep.png"));
  EXPECT_TRUE(Exists(textures + "/t.jpg"));

  Strings::RegisterFolderForCleanup(textures);
  Strings::RegisterFolderForCleanup(textures);  // duplicates are harmless
  Strings::CleanUpAllFolders();
  EXPECT_TRUE(Strings::DirectoryList(textures).empty());
  EXPECT_TRUE(IsFolder(textures));
}

TEST(Timestamp, IsUtcWithMilliseconds) {
  const std::string stamp = Strings::Timestamp();
  ASSERT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})")))
      << stamp;

  // Compare with the UTC calendar date and hour, whatever the local time zone is.
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char hour[16];
  std::strftime(hour, sizeof(hour), "%Y-%m-%d %H", &utc);
  const std::string after = Strings::Timestamp();
  EXPECT_TRUE(stamp.compare(0, 13, hour) == 0 || after.compare(0, 13, hour) == 0)
      << stamp << " vs " << hour;
}

TEST(GetUserHome, PrefersHomeAndFallsBackToTheAccount) {
  const char* saved = std::getenv("HOME");
  const std::string old = saved ? saved : "";

  setenv("HOME", "/some/where", 1);
  EXPECT_EQ("/some/where", Strings::GetUserHome());

  setenv("HOME", "", 1);
  const std::string from_account = Strings::GetUserHome();
  unsetenv("HOME");
  EXPECT_EQ(from_account, Strings::GetUserHome());
  EXPECT_FALSE(from_account.empty());

  if (saved) setenv("HOME", old.c_str(), 1);
}

}  // namespace
}  // namespace Zarnik
