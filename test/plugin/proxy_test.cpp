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
#include "zarnik.h"

namespace Zarnik {
namespace {

constexpr NodeType kMesh = 1;
constexpr NodeType kDiffuse = 17;
constexpr NodeType kRenderTarget = 56;
constexpr PinId kTargetGeometry = 111;
constexpr PinId kDiffuseColour = 30;
constexpr PinId kOverrideGeometry = 59;
constexpr AttributeId kVertices = 190;
constexpr AttributeId kVerticesPerPoly = 189;

constexpr const char* kTriangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl Paint\nf 1 2 3\n";
constexpr const char* kQuad = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n";

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
    const std::string path = folder_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    files_.push_back(path);
    return path;
  }

  // A scene whose render target shows a quad painted with a diffuse material, saved as a
  // scene file (or a packaged one).
  std::string WriteScene(const std::string& name, bool connected, bool packaged) {
    ApiRootNodeGraph* scene = ApiRootNodeGraph::create(ProxyManager::kSceneVersion);
    EXPECT_NE(scene, nullptr);
    ApiNode* mesh = ApiNode::create(kMesh, *scene, true);
    const std::vector<float_3> points = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    const int32_t corners = 4;
    const int32_t indices[] = {0, 1, 2, 3};
    const char* slot_names[] = {"wood"};
    mesh->set(kVertices, points.data(), points.size(), false);
    mesh->set(kVerticesPerPoly, &corners, 1, false);
    mesh->set(120, indices, 4, false);
    mesh->set(63, slot_names, 1, true);
    ApiNode* wood = ApiNode::create(kDiffuse, *scene, true);
    wood->setName("Wood");
    EXPECT_TRUE(mesh->connectToIx(0, wood));
    ApiNode* target = ApiNode::create(kRenderTarget, *scene, true);
    if (connected) EXPECT_TRUE(target->connectTo(kTargetGeometry, mesh));
    const std::string path = folder_ + "/" + name;
    EXPECT_TRUE(scene->exportToFile(path.c_str(), packaged));
    scene->destroy();
    files_.push_back(path);
    return path;
  }

  static size_t RootItemCount() {
    ApiItemArray items;
    ApiProjectManager::rootNodeGraph().getOwnedItems(items);
    return items.size();
  }
  static bool InRoot(const ApiItem* node) {
    ApiItemArray items;
    ApiProjectManager::rootNodeGraph().getOwnedItems(items);
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i] == node) return true;
    }
    return false;
  }

  static bool started_;
  std::string folder_;
  std::vector<std::string> files_;
};

bool ProxyTest::started_ = false;

TEST_F(ProxyTest, ObjProxiesAreCachedByTheExactPath) {
  const std::string upper = Write("chair.OBJ", kTriangle);
  const std::string lower = Write("chair.obj", kQuad);
  std::shared_ptr<Proxy> first = ProxyManager::CreateProxy(upper);
  ASSERT_TRUE(first && first->node);
  EXPECT_EQ(first->path, upper);
  EXPECT_EQ(first->node->type(), kMesh);
  EXPECT_EQ(first->node->getFloat3Array(kVertices).size(), 3u);
  EXPECT_EQ(ProxyManager::CreateProxy(upper), first);

  // Letter case makes another file and another entry.
  std::shared_ptr<Proxy> second = ProxyManager::CreateProxy(lower);
  ASSERT_TRUE(second && second->node);
  EXPECT_NE(second->node, first->node);
  EXPECT_EQ(second->node->getFloat3Array(kVertices).size(), 4u);
  EXPECT_EQ(ProxyManager::CachedCount(), 2u);
  EXPECT_EQ(ProxyManager::FindProxy(first->node), upper);
  EXPECT_EQ(ProxyManager::FindProxy(nullptr), "");

  // Dropping the entry leaves the node to its holders; the last one takes it along.
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
  std::shared_ptr<Proxy> reloaded = ProxyManager::CreateProxy(lower);
  ASSERT_TRUE(reloaded && reloaded->node);
  EXPECT_EQ(reloaded->node->getFloat3Array(kVertices).size(), 3u);
}

TEST_F(ProxyTest, UnsupportedAndUnusableFilesGiveNothingAndLeaveNothingBehind) {
  const size_t before = RootItemCount();
  const std::string empty_obj = Write("empty.obj", "# nothing\n");
  const std::string not_a_scene = Write("broken.zcs", "<not a scene");
  const std::string no_target = WriteScene("no_target.zcs", false, false);
  const std::string paths[] = {
      Write("model.fbx", kTriangle), Write("noext", kTriangle), folder_ + "/missing.obj", empty_obj,
      not_a_scene,                   folder_ + "/missing.zpak",  no_target,
  };
  for (const std::string& path : paths) {
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
  ASSERT_TRUE(proxy && proxy->node);
  EXPECT_EQ(proxy->node->type(), kMesh);
  EXPECT_TRUE(InRoot(proxy->node));
  EXPECT_EQ(proxy->node->getFloat3Array(kVertices).size(), 4u);
  ApiNode* wood = proxy->node->connectedNodeIx(0);
  ASSERT_NE(wood, nullptr);
  EXPECT_STREQ(wood->name(), "Wood");
  auto set = MaterialManager::GetZcsLoader()->FindSet(zcs);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->name, "table.ZCS");
  ASSERT_EQ(set->indices.size(), 1u);
  ApiNode* library_wood = MaterialManager::GetMaterialNode(set->indices[0]);
  ASSERT_NE(library_wood, nullptr);
  EXPECT_STREQ(library_wood->name(), "Wood");
  // The mesh, its material and the library's own copy of it come in; the render target
  // and the imported graph do not.
  EXPECT_EQ(RootItemCount(), before + 3);
  EXPECT_EQ(ProxyManager::CreateProxy(zcs), proxy);

  // Packaged scenes give geometry too, but add nothing to the library.
  const std::string zpak = WriteScene("table.zpak", true, true);
  std::shared_ptr<Proxy> packaged = ProxyManager::CreateProxy(zpak);
  ASSERT_TRUE(packaged && packaged->node);
  EXPECT_EQ(packaged->node->getFloat3Array(kVertices).size(), 4u);
  EXPECT_EQ(MaterialManager::GetZcsLoader()->FindSet(zpak), nullptr);
}

TEST_F(ProxyTest, DefinitionsShowASharedProxyInsteadOfTheirMesh) {
  const std::string path = Write("lamp.obj", kTriangle);
  auto first = std::make_shared<Definition>(501);
  auto second = std::make_shared<Definition>(502);
  ASSERT_TRUE(first->Evaluate());
  ApiNode* own_mesh = first->GetMesh();
  ASSERT_NE(own_mesh, nullptr);

  // A file that yields nothing changes nothing.
  EXPECT_FALSE(first->SetProxy(folder_ + "/missing.obj"));
  EXPECT_FALSE(first->HasProxy());
  EXPECT_EQ(first->GetMesh(), own_mesh);

  ASSERT_TRUE(first->SetProxy(path));
  ASSERT_TRUE(second->SetProxy(path));
  ApiNode* shared = first->GetMesh();
  EXPECT_EQ(shared, ProxyManager::CreateProxy(path)->node);
  EXPECT_EQ(second->GetMesh(), shared);
  EXPECT_FALSE(InRoot(own_mesh));
  EXPECT_FALSE(first->Evaluate());  // streams are ignored while the proxy stands in

  // A placement shows the proxy's geometry.
  first->AddInstance(Float4x4(), kNoId);
  std::shared_ptr<MeshMaterialMap> map = first->GetMaterialMap(kNoId);
  ASSERT_NE(map, nullptr);
  ApiNode* placement = map->GetGeometry();
  ASSERT_NE(placement, nullptr);
  ApiNode* shown = placement->connectedNode(kOverrideGeometry);
  ASSERT_NE(shown, nullptr);
  if (shown != shared) shown = shown->connectedNode(kOverrideGeometry);
  EXPECT_EQ(shown, shared);

  // Reloading takes the cached proxy; dropping the entry keeps the node for its holders.
  first->UpdateProxy();
  EXPECT_EQ(first->GetMesh(), shared);
  EXPECT_TRUE(ProxyManager::DropProxy(path));
  first->ClearProxy();
  EXPECT_TRUE(InRoot(shared));
  map.reset();
  first->ClearGeometry();
  second->ClearProxy();
  EXPECT_FALSE(InRoot(shared));
  EXPECT_EQ(first->GetMesh(), nullptr);
}

}  // namespace
}  // namespace Zarnik
