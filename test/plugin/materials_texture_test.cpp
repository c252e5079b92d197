#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "materials/texture_tracker.h"
#include "utils/paths.h"

namespace Zarnik {
namespace {

namespace fs = std::filesystem;

class TextureTrackerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/materials_texture_XXXXXX";
    if (!mkdtemp(pattern)) return;
    home_ = pattern;
    const char* old_home = getenv("HOME");
    old_home_ = old_home ? old_home : "";
    setenv("HOME", home_.c_str(), 1);
    fs::create_directories(Strings::GetWorkingTexturesPath());
  }
  static void TearDownTestSuite() {
    if (home_.empty()) return;
    // Suites that follow keep their logs under the HOME they started with.
    old_home_.empty() ? unsetenv("HOME") : setenv("HOME", old_home_.c_str(), 1);
    fs::remove_all(home_);
  }
  void SetUp() override {
    ASSERT_FALSE(home_.empty());
    TextureTracker::Clear();
    fs::remove_all(Strings::GetWorkingTexturesPath());
    fs::create_directories(Strings::GetWorkingTexturesPath());
  }

  static std::string Read(const std::string& path) {
    std::string content;
    Strings::LoadFileContent(path, content);
    return content;
  }

  // Keys registered since the last bookmark, with the address of the bytes they share.
  static std::map<std::string, const std::string*> NewKeys() {
    std::map<std::string, const std::string*> keys;
    TextureTracker::ForEachNewTexture(
        [&](const std::string& key, const TextureTracker::Bytes& bytes) { keys[key] = bytes.get(); });
    return keys;
  }

  static std::string home_;
  static std::string old_home_;
};
std::string TextureTrackerTest::home_;
std::string TextureTrackerTest::old_home_;

TEST_F(TextureTrackerTest, WritesByFileNameOnceUntilNewBytesArrive) {
  ASSERT_TRUE(TextureTracker::AddTexture("/a/b/wood.png", "grain-1"));
  const auto keys = NewKeys();
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys.at("/a/b/wood.png"), keys.at("wood.png"));

  const std::string written = Strings::GetWorkingTexturesPath() + "wood.png";
  EXPECT_EQ(TextureTracker::UpdateFile("/x/y/wood.png", ""), written);
  EXPECT_EQ(Read(written), "grain-1");

  // Known now: the same answer without writing again.
  fs::remove(written);
  EXPECT_EQ(TextureTracker::UpdateFile("/elsewhere/wood.png", "wood"), written);
  EXPECT_FALSE(fs::exists(written));

  // Other bytes under the bare name while /a/b/wood.png still holds the first: a second
  // texture of that name, with a copy of its own.
  ASSERT_TRUE(TextureTracker::AddTexture("wood.png", "grain-2"));
  const std::string second = Strings::GetWorkingTexturesPath() + "wood-2.png";
  EXPECT_EQ(TextureTracker::UpdateFile("/x/y/wood.png", ""), second);
  EXPECT_EQ(Read(second), "grain-2");
  EXPECT_EQ(TextureTracker::UpdateFile("/a/b/wood.png", ""), written);
  EXPECT_FALSE(fs::exists(written));  // known, not written again

  // New bytes for the one texture that used the copy bring the copy up to date.
  ASSERT_TRUE(TextureTracker::AddTexture("/a/b/wood.png", "grain-3"));
  EXPECT_EQ(TextureTracker::UpdateFile("/a/b/wood.png", ""), written);
  EXPECT_EQ(Read(written), "grain-3");
  // Our own copies are used as they stand.
  EXPECT_EQ(TextureTracker::UpdateFile(second, "other.png"), second);

  // Untracked textures and plain words keep the path they came with.
  EXPECT_EQ(TextureTracker::UpdateFile("/x/stone.png", ""), "/x/stone.png");
  EXPECT_EQ(TextureTracker::UpdateFile("wood", ""), "wood");
  EXPECT_EQ(TextureTracker::UpdateFile("", ""), "");
  // The name is the second candidate.
  EXPECT_EQ(TextureTracker::UpdateFile("nothing", "/q/wood.png"), written);

  TextureTracker::Clear();
  EXPECT_EQ(TextureTracker::UpdateFile("/x/y/wood.png", ""), "/x/y/wood.png");
}

TEST_F(TextureTrackerTest, TexturesOfOneFileNameGetACopyEach) {
  const std::string folder = Strings::GetWorkingTexturesPath();
  ASSERT_TRUE(TextureTracker::AddTexture("/one/wood.jpg", "first"));
  ASSERT_TRUE(TextureTracker::AddTexture("/two/wood.jpg", "second"));
  ASSERT_TRUE(TextureTracker::AddTexture("/three/wood.jpg", "first"));
  ASSERT_TRUE(TextureTracker::AddTexture("C:\\four\\wood", "no extension"));
  // The exact registration wins over the file name, which now holds the last bytes.
  EXPECT_EQ(TextureTracker::UpdateFile("/one/wood.jpg", ""), folder + "wood.jpg");
  EXPECT_EQ(TextureTracker::UpdateFile("/host/wood.jpg", "/two/wood.jpg"), folder + "wood-2.jpg");
  // Equal bytes share a copy.
  EXPECT_EQ(TextureTracker::UpdateFile("/three/wood.jpg", ""), folder + "wood.jpg");
  EXPECT_EQ(Read(folder + "wood.jpg"), "first");
  EXPECT_EQ(Read(folder + "wood-2.jpg"), "second");
  ASSERT_TRUE(TextureTracker::AddTexture("/five/wood", "other"));
  EXPECT_EQ(TextureTracker::UpdateFile("C:\\four\\wood", ""), folder + "wood");
  EXPECT_EQ(TextureTracker::UpdateFile("/five/wood", ""), folder + "wood-2");

  // A copy gone from disk is registered again from what the tracker keeps.
  fs::remove(folder + "wood-2.jpg");
  TextureTracker::Bookmark();
  ASSERT_TRUE(TextureTracker::AddTexture(folder + "wood-2.jpg"));
  const auto keys = NewKeys();
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(*keys.at("wood-2.jpg"), "second");
}

TEST_F(TextureTrackerTest, RegistrationAndBookmarks) {
  EXPECT_FALSE(TextureTracker::AddTexture("wood.png", ""));
  EXPECT_FALSE(TextureTracker::AddTexture("", "bytes"));
  EXPECT_FALSE(TextureTracker::AddTexture(home_ + "/missing.png"));
  EXPECT_FALSE(TextureTracker::AddTexture(""));
  EXPECT_TRUE(NewKeys().empty());

  const std::string on_disk = home_ + "/bark.jpg";
  ASSERT_TRUE(Strings::SaveFileContent(on_disk, "bark bytes"));
  ASSERT_TRUE(TextureTracker::AddTexture(on_disk));
  TextureTracker::Bookmark();
  EXPECT_TRUE(NewKeys().empty());
  ASSERT_TRUE(TextureTracker::AddTexture("leaf.png", "leaf"));
  const auto keys = NewKeys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(*keys.at("leaf.png"), "leaf");

  std::map<std::string, std::string> all;
  TextureTracker::ForEachTexture(
      [&](const std::string& key, const TextureTracker::Bytes& bytes) { all[key] = *bytes; });
  EXPECT_EQ(all, (std::map<std::string, std::string>{
                     {on_disk, "bark bytes"}, {"bark.jpg", "bark bytes"}, {"leaf.png", "leaf"}}));
  EXPECT_NE(TextureTracker::Report().find("\"leaf.png\" => "), std::string::npos);
}

TEST_F(TextureTrackerTest, HostileNamesNeverWriteOutsideTheTexturesFolder) {
  const std::string folder = Strings::GetWorkingTexturesPath();
  // Only the final component is ever used as the written file's name.
  ASSERT_TRUE(TextureTracker::AddTexture("../../escape.png", "x"));
  EXPECT_EQ(TextureTracker::UpdateFile("../../escape.png", ""), folder + "escape.png");
  ASSERT_TRUE(TextureTracker::AddTexture("C:\\data\\..\\win.png", "w"));
  EXPECT_EQ(TextureTracker::UpdateFile("/any/win.png", ""), folder + "win.png");
  EXPECT_FALSE(fs::exists(home_ + "/Documents/Zarnik/SketchUp/escape.png"));

  // Names that are nothing but a folder reference are refused.
  for (const std::string key : {"/a/..", "a\\..", "/a/."}) {
    ASSERT_TRUE(TextureTracker::AddTexture(key, "dots"));
    EXPECT_EQ(TextureTracker::UpdateFile(key, ""), key);
  }
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(folder)) entries.push_back(entry.path().filename().string());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"escape.png", "win.png"}));

  // A folder that cannot be written to is reported, not handed out as a written file.
  fs::remove_all(folder);
  ASSERT_TRUE(TextureTracker::AddTexture("/a/lost.png", "lost"));
  EXPECT_EQ(TextureTracker::UpdateFile("/a/lost.png", ""), "/a/lost.png");
}

}  // namespace
}  // namespace Zarnik
