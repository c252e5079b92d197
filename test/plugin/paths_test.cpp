#include "utils/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "utils/file_panel.h"
#include "zarnik.h"

namespace Zarnik {
namespace {

// Sets (or, for null, removes) an environment variable until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name), had_old_(std::getenv(name) != nullptr) {
    if (had_old_) old_ = std::getenv(name);
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { had_old_ ? ::setenv(name_.c_str(), old_.c_str(), 1) : ::unsetenv(name_.c_str()); }

 private:
  std::string name_, old_;
  bool had_old_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void WriteAll(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A fresh HOME with the preview folder in it, and no scripted panel answer or display
// inherited from the caller.
class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/paths_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    env_.emplace_back(new ScopedEnv("HOME", root_.c_str()));
    for (const char* name : {"ZARNIKSU_FILE_PANEL_ANSWER", "ZARNIKSU_FILE_PANEL_LOG", "DISPLAY", "WAYLAND_DISPLAY"})
      env_.emplace_back(new ScopedEnv(name, nullptr));
    ASSERT_EQ(std::system(("mkdir -p " + Strings::GetPreviewTexturesPath()).c_str()), 0);
    log_ = root_ + "/panel.log";
    Strings::SetLastSuccessfulFolder("");
  }
  void TearDown() override {
    Strings::SetLastSuccessfulFolder("");
    env_.clear();
    std::system(("rm -rf " + root_).c_str());
  }

  std::string root_, log_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

TEST(PathSplitting, NamesStemsAndExtensions) {
  using Pair = std::pair<std::string, std::string>;
  EXPECT_EQ(Strings::SplitFile("/a/b.c/d"), Pair("d", ""));
  EXPECT_EQ(Strings::SplitFile("x/.hidden"), Pair(".hidden", ""));
  EXPECT_EQ(Strings::SplitFile("f.tar.gz"), Pair("f.tar", ".gz"));
  EXPECT_EQ(Strings::SplitFile("C:\\tex\\wood.PNG"), Pair("wood", ".PNG"));
  EXPECT_EQ(Strings::SplitFile("dir/"), Pair("", ""));
  EXPECT_EQ(Strings::SplitPath("C:\\x/y\\z.png"), Pair("C:\\x/y\\", "z.png"));
  EXPECT_EQ(Strings::SplitPath("plain"), Pair("", "plain"));
  EXPECT_EQ(Strings::UnqualifyName(std::string("a\\b/c:d.png")), "d.png");
  EXPECT_EQ(Strings::UnqualifyName(std::string("plain")), "plain");
  EXPECT_EQ(Strings::UnqualifyName(std::string("/trailing/")), "");
}

TEST_F(PathsTest, FilesRoundTripAndFailuresAreReported) {
  std::string content;  // binary, larger than one read block
  for (int i = 0; i < 200000; ++i) content += static_cast<char>(i * 7 % 256);
  const std::string file = root_ + "/data.bin";
  std::string loaded = "stale";
  ASSERT_TRUE(Strings::SaveFileContent(file, content));
  ASSERT_TRUE(Strings::LoadFileContent(file, loaded));
  EXPECT_EQ(loaded, content);
  EXPECT_TRUE(Strings::FileExists(file));

  // A folder opens for reading but is neither a file nor an empty success.
  EXPECT_FALSE(Strings::LoadFileContent(root_, loaded));
  EXPECT_EQ(loaded, "");
  EXPECT_FALSE(Strings::FileExists(root_));
  EXPECT_FALSE(Strings::FileExists(root_ + "/missing"));
  EXPECT_FALSE(Strings::SaveFileContent(root_ + "/no/such/folder/file", "x"));
  // A full device shows on write or close and must not pass for saved.
  if (::access("/dev/full", W_OK) == 0) {
    EXPECT_FALSE(Strings::SaveFileContent("/dev/full", "bytes"));
  }

  ASSERT_EQ(::mkdir((root_ + "/sub").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(root_.c_str(), (root_ + "/link").c_str()), 0);
  EXPECT_EQ(Strings::MakeCanonical(root_ + "/link/./sub/../data.bin"), Strings::MakeCanonical(file));
  EXPECT_NE(Strings::MakeCanonical(file).find("/data.bin"), std::string::npos);
  EXPECT_EQ(Strings::MakeCanonical("relative/missing"), "relative/missing");
}

TEST_F(PathsTest, OnlyRegularFilesOfBoundedSizeAreRead) {
  const std::string file = root_ + "/ten.bin";
  ASSERT_TRUE(Strings::SaveFileContent(file, "0123456789"));
  std::string loaded = "stale";
  EXPECT_TRUE(Strings::ReadRegularFile(file, loaded, 10));
  EXPECT_EQ(loaded, "0123456789");
  EXPECT_TRUE(Strings::IsReadableRegularFile(file, 10));
  EXPECT_FALSE(Strings::ReadRegularFile(file, loaded, 9));
  EXPECT_EQ(loaded, "");
  EXPECT_FALSE(Strings::IsReadableRegularFile(file, 9));
  ASSERT_TRUE(Strings::SaveFileContent(file, ""));
  EXPECT_TRUE(Strings::ReadRegularFile(file, loaded, 0));

  // Without a writer, opening a FIFO the ordinary way would wait for good.
  const std::string fifo = root_ + "/pipe.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  loaded = "stale";
  for (const std::string& path : {fifo, std::string("/dev/zero"), root_}) {
    EXPECT_FALSE(Strings::ReadRegularFile(path, loaded, Strings::kMaxFileBytes)) << path;
    EXPECT_EQ(loaded, "") << path;
    EXPECT_FALSE(Strings::LoadFileContent(path, loaded)) << path;
    EXPECT_FALSE(Strings::FileExists(path)) << path;
    EXPECT_FALSE(Strings::IsReadableRegularFile(path, Strings::kMaxFileBytes)) << path;
  }
  // A path with a NUL would otherwise open what stands before it.
  EXPECT_FALSE(Strings::FileExists(file + std::string(1, '\0') + "x"));

  ASSERT_EQ(::symlink(file.c_str(), (root_ + "/to_file").c_str()), 0);
  EXPECT_TRUE(Strings::FileExists(root_ + "/to_file"));
  ASSERT_EQ(::symlink(fifo.c_str(), (root_ + "/to_fifo").c_str()), 0);
  EXPECT_FALSE(Strings::FileExists(root_ + "/to_fifo"));
}

// ---- Texture paths inside render-engine XML ---------------------------------------------

TEST_F(PathsTest, UpdateZcsXmlPointsForeignTextureFoldersHere) {
  const std::string working = Strings::GetWorkingTexturesPath();
  const std::string xml = "<a><f>C:\\Users\\x\\Documents\\Zarnik\\SketchUp\\temp\\textures\\wood.png</f><n>x</n>"
                          "<f>/Users/y/Documents/zarnik/sketchup/TEMP/mytextures/wood.png</f>"
                          "<f>/home/z/Zarnik\\SketchUp/temp\\my_Textures/a b.jpg</f></a>";
  EXPECT_EQ(Strings::UpdateZcsXml(xml), "<a><f>" + working + "wood.png</f><n>x</n><f>" + working +
                                            "wood.png</f><f>" + working + "a b.jpg</f></a>");
  for (const std::string unchanged : {
           "<f>/home/u/pictures/wood.png</f>",
           "<f>/u/Zarnik/SketchUp/temp/my-textures/wood.png</f>",   // '-' is not a word character
           "<f>/u/Zarnik/SketchUp/temp/textures/sub/wood.png</f>",  // one level too deep
           "<f>/Zarnik/SketchUp/temp/textures/wood.png</f>",        // nothing before the folder
           "<a attr='/u/Zarnik/SketchUp/temp/textures/w.png'/>",    // attribute, not element text
       }) {
    EXPECT_EQ(Strings::UpdateZcsXml(unchanged), unchanged);
  }

  // Long element texts (embedded data) must not exhaust the stack, and a home folder
  // holding replacement syntax is copied literally.
  const std::string odd_home = root_ + "/$1 $& \\x $$";
  ScopedEnv home("HOME", odd_home.c_str());
  const std::string blob(2000000, 'A');
  EXPECT_EQ(Strings::UpdateZcsXml("<d>" + blob + "</d><f>" + blob + "/Zarnik/SketchUp/temp/textures/w.png</f>"),
            "<d>" + blob + "</d><f>" + odd_home + "/Documents/Zarnik/SketchUp/temp/textures/w.png</f>");
}

TEST_F(PathsTest, UpdateZcsXmlAgreesWithTheReferencePattern) {
  const std::regex pattern(R"(>[^<>]+[/\\]Zarnik[/\\]SketchUp[/\\]temp[/\\]\w*textures[/\\]([^<>/\\]+)<)",
                           std::regex::ECMAScript | std::regex::icase);
  const std::string replacement = ">" + Strings::GetWorkingTexturesPath() + "$1<";
  const std::vector<std::string> pieces = {"/", "\\", "Zarnik", "zARNIK", "SketchUp", "temp", "TEMP", "textures",
                                           "_Textures", "x", "<", ">", ".", "tex", "Zarnik/SketchUp"};
  // Every sequence of up to three pieces, inside several frames and bare.
  std::vector<std::string> texts = {""};
  for (int length = 0; length < 3; ++length) {
    std::vector<std::string> longer;
    for (const std::string& text : texts)
      for (const std::string& piece : pieces) longer.push_back(text + piece);
    texts.insert(texts.end(), longer.begin(), longer.end());
  }
  for (const std::string& text : texts) {
    for (const std::string& xml : {"<e>c:/Zarnik/SketchUp/temp/" + text + "</e>",
                                   "<e>u/zarnik" + text + "/textures/w.png</e>",
                                   "<e>" + text + "/Zarnik/SketchUp/temp/textures/w.png<", text}) {
      ASSERT_EQ(Strings::UpdateZcsXml(xml), std::regex_replace(xml, pattern, replacement)) << xml;
    }
  }
}

TEST_F(PathsTest, UpdateZcsXmlReachesTheTextValuesOfSceneTexts) {
  const std::string working = Strings::GetWorkingTexturesPath();
  const std::string windows = "C:\\Users\\x\\Documents\\Zarnik\\SketchUp\\temp\\textures\\";
  const std::string mac = "/Users/y/Documents/zarnik/sketchup/TEMP/mytextures/";
  // As the engine writes it under another user's home: a single text in "value", the texts
  // of a list in "v" (either quote), names and other attributes beside them.
  const std::string xml =
      "<scene version=\"3080500\" name=\"" + mac + "n.png\">\n"
      "\t<node id=\"1\" type=\"34\" name=\"" + windows + "wood.png\" x=\"0\">\n"
      "\t\t<attr id=\"34\" kind=\"11\" value=\"" + windows + "wood.png\" />\n"
      "\t\t<attr id=\"63\" kind=\"10\" count=\"3\"><s v='" + mac + "a &amp; b.jpg'/><s v=\"/home/z/pics/c.png\"/>"
      "<s  v = \"" + mac + "d.png\"/></attr>\n"
      "\t\t<attr values=\"" + mac + "e.png\" xv=\"" + mac + "f.png\"/>\n"
      "\t</node>\n"
      "\t<!-- <a value=\"" + mac + "g.png\"/> --><![CDATA[<a value=\"" + mac + "h.png\"/>]]>\n"
      "\t<f>" + mac + "i.png</f>\n"
      "</scene>\n";
  const std::string expected =
      "<scene version=\"3080500\" name=\"" + mac + "n.png\">\n"
      "\t<node id=\"1\" type=\"34\" name=\"" + windows + "wood.png\" x=\"0\">\n"
      "\t\t<attr id=\"34\" kind=\"11\" value=\"" + working + "wood.png\" />\n"
      "\t\t<attr id=\"63\" kind=\"10\" count=\"3\"><s v='" + working + "a &amp; b.jpg'/><s v=\"/home/z/pics/c.png\"/>"
      "<s  v = \"" + working + "d.png\"/></attr>\n"
      "\t\t<attr values=\"" + mac + "e.png\" xv=\"" + mac + "f.png\"/>\n"
      "\t</node>\n"
      "\t<!-- <a value=\"" + mac + "g.png\"/> --><![CDATA[<a value=\"" + mac + "h.png\"/>]]>\n"
      "\t<f>" + working + "i.png</f>\n"
      "</scene>\n";
  EXPECT_EQ(Strings::UpdateZcsXml(xml), expected);

  // Values that are not such a path, and texts cut short, stay as they are.
  for (const std::string unchanged : {
           "<a value=\"/u/Zarnik/SketchUp/temp/textures/sub/w.png\"/>",
           "<a value=\"/Zarnik/SketchUp/temp/textures/w.png\"/>",
           "<a value=\"/u/Zarnik/SketchUp/temp/textures/\"/>",
           "<a value=\"/u/Zarnik/SketchUp/temp/textures/w.png",
           "<a value=\"/u/Zarnik/SketchUp/temp/textures/w<.png\"/>",
           "<!-- <a value=\"/u/Zarnik/SketchUp/temp/textures/w.png\"/>",
           "<value=\"/u/Zarnik/SketchUp/temp/textures/w.png\"/>",
       }) {
    EXPECT_EQ(Strings::UpdateZcsXml(unchanged), unchanged);
  }

  // Stored texts come from the model file: a long run of values in a tag that never ends, or
  // of tags that never close, takes no longer than reading it once.
  std::string values = "<a";
  std::string tags;
  for (int i = 0; i < 200000; ++i) {
    values += " v=\"/u/Zarnik/SketchUp/temp/textures/w.png\"";
    tags += "<a v=\"/x<";
  }
  const std::string rewritten = Strings::UpdateZcsXml(values);
  EXPECT_EQ(rewritten.size(), values.size() + 200000 * (working.size() - std::string("/u/Zarnik/SketchUp/temp/textures/").size()));
  EXPECT_EQ(Strings::UpdateZcsXml(tags), tags);
}

TEST_F(PathsTest, SceneTextWrittenUnderAnotherHomeReadsBackWithThisUsersTextures) {
  // A home folder with characters that mean something in XML must not break the text.
  const std::string home = root_ + "/Tom & \"Jerry\" <x>";
  ScopedEnv env("HOME", home.c_str());
  ApiRootNodeGraph* written = ApiRootNodeGraph::create(3080500);
  ApiRootNodeGraph* read = ApiRootNodeGraph::create(3080500);
  ASSERT_NE(written, nullptr);
  ASSERT_NE(read, nullptr);
  ApiNode* image = ApiNode::create(34, *written, false);
  ASSERT_NE(image, nullptr);
  ASSERT_TRUE(image->set(34, "/Users/other/Documents/Zarnik/SketchUp/temp/textures/wood grain & co.png", false));
  ApiNode* mesh = ApiNode::create(1, *written, false);
  const char* names[] = {"C:\\Users\\other\\Documents\\Zarnik\\SketchUp\\temp\\textures\\n.png", "plain"};
  ASSERT_TRUE(mesh->set(63, names, 2, false));
  const std::string text = written->exportToString();

  const std::string updated = Strings::UpdateZcsXml(text);
  ASSERT_TRUE(read->import(updated.data(), updated.size(), nullptr, nullptr));
  ApiNodeArray images, meshes;
  read->findNodes(34, images);
  read->findNodes(1, meshes);
  ASSERT_EQ(images.size(), 1u);
  ASSERT_EQ(meshes.size(), 1u);
  EXPECT_EQ(std::string(images[0]->getString(34)), Strings::GetWorkingTexturesPath() + "wood grain & co.png");
  ApiArray<const char*> texts = meshes[0]->getStringArray(63);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(std::string(texts[0]), Strings::GetWorkingTexturesPath() + "n.png");
  EXPECT_STREQ(texts[1], "plain");
  written->destroy();
  read->destroy();
}

// ---- Missing resources and file panels -------------------------------------------------

TEST_F(PathsTest, TryToFindResourceSearchesLastFolderThenPreviewsThenAsks) {
  const std::string picked = root_ + "/picked";
  const std::string previews = Strings::GetPreviewTexturesPath();
  ASSERT_EQ(::mkdir(picked.c_str(), 0700), 0);
  ScopedEnv log_env("ZARNIKSU_FILE_PANEL_LOG", log_.c_str());

  // Nowhere to be found and the user cancels: the path comes back, nothing remembered.
  {
    ScopedEnv cancel("ZARNIKSU_FILE_PANEL_ANSWER", "");
    EXPECT_EQ(Strings::TryToFindResource("/old/machine/wood.png"), "/old/machine/wood.png");
  }
  EXPECT_EQ(Strings::LastSuccessfulFolder(), "");
  EXPECT_EQ(ReadAll(log_), "open\tPlease select missing file: wood.png\t\t" + previews + "\n");

  // The user picks a file: its folder is remembered and searched first from then on.
  {
    ScopedEnv answer("ZARNIKSU_FILE_PANEL_ANSWER", (picked + "/wood.png").c_str());
    EXPECT_EQ(Strings::TryToFindResource("/old/machine/wood.png"), picked + "/wood.png");
  }
  EXPECT_EQ(Strings::LastSuccessfulFolder(), picked);
  WriteAll(picked + "/stone.png", "s");
  WriteAll(previews + "stone.png", "s");
  WriteAll(previews + "brick.png", "b");
  std::remove(log_.c_str());
  EXPECT_EQ(Strings::TryToFindResource("D:/x/stone.png"), picked + "/stone.png");
  EXPECT_EQ(Strings::TryToFindResource("brick.png"), previews + "brick.png");
  EXPECT_FALSE(Strings::FileExists(log_)) << "no panel for files that were found";

  // A later cancel keeps the remembered folder; the panel starts there.
  EXPECT_EQ(Strings::TryToFindResource("/x/gone.png"), "/x/gone.png");
  EXPECT_EQ(Strings::LastSuccessfulFolder(), picked);
  EXPECT_EQ(ReadAll(log_), "open\tPlease select missing file: gone.png\t\t" + picked + "\n");
}

TEST_F(PathsTest, ScriptedPanelAnswersAndLogsEveryRequest) {
  ScopedEnv log_env("ZARNIKSU_FILE_PANEL_LOG", log_.c_str());
  {
    ScopedEnv answer("ZARNIKSU_FILE_PANEL_ANSWER", "/chosen/model.obj");
    EXPECT_EQ(Strings::OpenFileBrowser("Pick a proxy", "obj;zcs,zpak", false), "/chosen/model.obj");
    EXPECT_EQ(Strings::SaveFileBrowser("Save\tas\nfile", "zcs"), "/chosen/model.obj");
  }
  // No scripted answer and no display: a cancel, still logged.
  EXPECT_EQ(Strings::OpenFileBrowser("Headless", ";;", true), "");
  EXPECT_EQ(ReadAll(log_), "open\tPick a proxy\tobj;zcs;zpak\t\nsave\tSave as file\tzcs\t\nopen\tHeadless\t\t" +
                               Strings::GetPreviewTexturesPath() + "\n");
}

// With a display, a stand-in dialog program on PATH records its arguments one per line
// and answers what the test put next to it.
TEST_F(PathsTest, RealDialogRunsWithoutAShellAndReadsTheAnswer) {
  const std::string bin = root_ + "/bin";
  ASSERT_EQ(::mkdir(bin.c_str(), 0700), 0);
  WriteAll(bin + "/zenity",
           "#!/bin/sh\ncd \"$(dirname \"$0\")\"\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > args\n"
           "cat answer\nexit $(cat status)\n");
  ASSERT_EQ(::chmod((bin + "/zenity").c_str(), 0700), 0);
  ScopedEnv path("PATH", (bin + ":/usr/bin:/bin").c_str());
  auto answer = [&](const std::string& output, int status) {
    WriteAll(bin + "/answer", output);
    WriteAll(bin + "/status", std::to_string(status));
    std::remove((bin + "/args").c_str());
  };

  answer("/picked\n", 0);
  EXPECT_EQ(Strings::OpenFileBrowser("Open", "obj", false), "") << "no display, no dialog";
  EXPECT_FALSE(Strings::FileExists(bin + "/args"));

  ScopedEnv display("DISPLAY", ":0");
  const std::string hostile = "it's \"$(touch " + root_ + "/pwned)\" `id` ; --save";
  answer("/picked/a file.zcs\n", 0);
  FilePanel::Request request;
  request.prompt = hostile;
  request.extensions = {"obj", "zcs", "zpak"};
  request.start_folder = "/start here";
  EXPECT_EQ(FilePanel::Run(request), "/picked/a file.zcs");
  EXPECT_EQ(ReadAll(bin + "/args"), "--file-selection\n--title=" + hostile +
                                        "\n--filename=/start here/\n--file-filter=*.obj *.zcs *.zpak\n");
  EXPECT_FALSE(Strings::FileExists(root_ + "/pwned"));

  answer("/picked/out.zcs\n", 0);
  EXPECT_EQ(Strings::SaveFileBrowser("Save", "zcs"), "/picked/out.zcs");
  EXPECT_EQ(ReadAll(bin + "/args"), "--file-selection\n--save\n--title=Save\n--file-filter=*.zcs\n");

  // Any status but 0 is a cancel, whatever was printed.
  answer("/ignored\n", 1);
  EXPECT_EQ(Strings::OpenFileBrowser("Open", "", false), "");
  EXPECT_EQ(ReadAll(bin + "/args"), "--file-selection\n--title=Open\n");
}

}  // namespace
}  // namespace Zarnik
