// Proxies against the running engine: the cache by exact path, OBJ and scene files,
// definitions that show a proxy instead of their mesh.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "materials/loaders/zcs_loader.h"
#include "materials/mat_manager.h"
#include "sketchup/definition.h"
#include "sketchup/proxy_manager.h"
#include "sketchup/su_manager.h"

namespace Zarnik {
namespace {

constexpr AttributeId kVertices = 190;
constexpr const char* kTriangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl Paint\nf 1 2 3\n";
constexpr const char* kQuad = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n";

size_t PointsOf(const std::shared_ptr<Proxy>& proxy) {
  return proxy && proxy->node ? proxy->node->getFloat3Array(kVertices).size() : 0;
}

class ProxyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    started_ = apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr);
    if (started_) SketchupManager::InitRegistry();
  }
  static void TearDownTestSuite() {
    if (!started_) return;
    SketchupManager::Cleanup();
    ProxyManager::ClearProxies();
    apiMode_Shared_exit(nullptr);
  }
  void SetUp() override {
    ASSERT_TRUE(started_);
    char pattern[] = "/tmp/proxy_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    ProxyManager::ClearProxies();
    for (const std::string& file : files_) std::remove(file.c_str());
    rmdir(folder_.c_str());
  }

  std::string Write(const std::string& name, const std::string& text) {
    files_.push_back(folder_ + "/" + name);
    std::ofstream(files_.back(), std::ios::binary) << text;
    return files_.back();
  }

  // A scene whose render target (when connected) shows a quad with a diffuse material in
  // its slot, saved as a scene file or a packaged one.
  std::string WriteScene(const std::string& name, bool connected, bool packaged) {
    ApiRootNodeGraph* scene = ApiRootNodeGraph::create(ProxyManager::kSceneVersion);
    ApiNode* mesh = ApiNode::create(1, *scene, true);
    const float_3 points[] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    const int32_t corners = 4, indices[] = {0, 1, 2, 3};
    const char* slot_names[] = {"wood"};
    mesh->set(kVertices, points, 4, false);
    mesh->set(189, &corners, 1, false);
    mesh->set(120, indices, 4, false);
    mesh->set(63, slot_names, 1, true);
    ApiNode* wood = ApiNode::create(17, *scene, true);
    wood->setName("Wood");
    mesh->connectToIx(0, wood);
    ApiNode* target = ApiNode::create(56, *scene, true);
    if (connected) target->connectTo(111, mesh);
    files_.push_back(folder_ + "/" + name);
    EXPECT_TRUE(scene->exportToFile(files_.back().c_str(), packaged));
    scene->destroy();
    return files_.back();
  }

  static bool InRoot(const ApiItem* node) {
    ApiItemArray items;
    ApiProjectManager::rootNodeGraph().getOwnedItems(items);
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i] == node) return true;
    }
    return false;
  }
  static size_t RootItemCount() {
    ApiItemArray items;
    ApiProjectManager::rootNodeGraph().getOwnedItems(items);
    return items.size();
  }

  static bool started_;
  std::string folder_;
  std::vector<std::string> files_;
};

bool ProxyTest::started_ = false;

TEST_F(ProxyTest, ObjProxiesAreCachedByTheExactPathAndLiveWhileHeld) {
  const std::string upper = Write("chair.OBJ", kTriangle);
  const std::string lower = Write("chair.obj", kQuad);
  std::shared_ptr<Proxy> first = ProxyManager::CreateProxy(upper);
  EXPECT_EQ(PointsOf(first), 3u);
  EXPECT_EQ(ProxyManager::CreateProxy(upper), first);
  std::shared_ptr<Proxy> second = ProxyManager::CreateProxy(lower);  // letter case: another file
  EXPECT_EQ(PointsOf(second), 4u);
  EXPECT_EQ(ProxyManager::CachedCount(), 2u);
  EXPECT_EQ(ProxyManager::FindProxy(first->node), upper);
  EXPECT_EQ(ProxyManager::FindProxy(nullptr), "");

  ApiNode* node = first->node;
  EXPECT_FALSE(ProxyManager::DropProxy(static_cast<const ApiItem*>(nullptr)));
  EXPECT_TRUE(ProxyManager::DropProxy(node));
  EXPECT_EQ(ProxyManager::FindProxy(node), "");
  EXPECT_TRUE(InRoot(node));
  first.reset();
  EXPECT_FALSE(InRoot(node));

  // A dropped file is read afresh.
  EXPECT_TRUE(ProxyManager::DropProxy(lower));
  Write("chair.obj", kTriangle);
  EXPECT_EQ(PointsOf(ProxyManager::CreateProxy(lower)), 3u);
}

TEST_F(ProxyTest, UnsupportedAndUnusableFilesGiveNothingAndLeaveNothingBehind) {
  const size_t before = RootItemCount();
  const std::string no_target = WriteScene("no_target.zcs", false, false);
  for (const std::string& path : {Write("model.fbx", kTriangle), Write("noext", kTriangle),
                                  folder_ + "/missing.obj", Write("empty.obj", "# nothing\n"),
                                  Write("broken.zcs", "<not a scene"), folder_ + "/missing.zpak", no_target}) {
    EXPECT_EQ(ProxyManager::CreateProxy(path), nullptr) << path;
  }
  EXPECT_EQ(ProxyManager::CachedCount(), 0u);
  EXPECT_EQ(RootItemCount(), before);
  EXPECT_EQ(MaterialManager::GetZcsLoader()->FindSet(no_target), nullptr);
}

TEST_F(ProxyTest, SceneFilesBringTheirGeometryAndMaterials) {
  const size_t before = RootItemCount();
  const std::string zcs = WriteScene("table.ZCS", true, false);
  std::shared_ptr<Proxy> proxy = ProxyManager::CreateProxy(zcs);
  ASSERT_EQ(PointsOf(proxy), 4u);
  EXPECT_TRUE(InRoot(proxy->node));
  ASSERT_NE(proxy->node->connectedNodeIx(0), nullptr);
  EXPECT_STREQ(proxy->node->connectedNodeIx(0)->name(), "Wood");
  auto set = MaterialManager::GetZcsLoader()->FindSet(zcs);
  ASSERT_TRUE(set && set->indices.size() == 1u);
  EXPECT_EQ(set->name, "table.ZCS");
  ApiNode* library_wood = MaterialManager::GetMaterialNode(set->indices[0]);
  ASSERT_NE(library_wood, nullptr);
  EXPECT_STREQ(library_wood->name(), "Wood");
  // The mesh, its material and the library's node of it; no render target, no graph.
  EXPECT_EQ(RootItemCount(), before + 3);

  // Packaged scenes give geometry too, but add nothing to the library.
  const std::string zpak = WriteScene("table.zpak", true, true);
  EXPECT_EQ(PointsOf(ProxyManager::CreateProxy(zpak)), 4u);
  EXPECT_EQ(MaterialManager::GetZcsLoader()->FindSet(zpak), nullptr);
}

TEST_F(ProxyTest, DefinitionsShowASharedProxyInsteadOfTheirMesh) {
  const std::string path = Write("lamp.obj", kTriangle);
  auto first = std::make_shared<Definition>(501);
  auto second = std::make_shared<Definition>(502);
  ASSERT_TRUE(first->Evaluate());
  ApiNode* own_mesh = first->GetMesh();

  EXPECT_FALSE(first->SetProxy(folder_ + "/missing.obj"));  // changes nothing
  EXPECT_FALSE(first->HasProxy());
  EXPECT_EQ(first->GetMesh(), own_mesh);

  ASSERT_TRUE(first->SetProxy(path));
  ASSERT_TRUE(second->SetProxy(path));
  ApiNode* shared = first->GetMesh();
  EXPECT_EQ(second->GetMesh(), shared);
  EXPECT_FALSE(InRoot(own_mesh));
  EXPECT_FALSE(first->Evaluate());  // streams are ignored while the proxy stands in

  // A placement shows the proxy's geometry directly.
  first->AddInstance(Float4x4(), kNoId);
  ASSERT_NE(first->GetMaterialMap(kNoId), nullptr);
  ApiNode* placement = first->GetMaterialMap(kNoId)->GetGeometry();
  ASSERT_NE(placement, nullptr);
  EXPECT_EQ(placement->connectedNode(59), shared);

  first->UpdateProxy();
  EXPECT_EQ(first->GetMesh(), shared);
  EXPECT_TRUE(ProxyManager::DropProxy(path));
  first->ClearProxy();
  first->ClearGeometry();
  EXPECT_TRUE(InRoot(shared));
  second->ClearProxy();
  EXPECT_FALSE(InRoot(shared));
}

}  // namespace
}  // namespace Zarnik
