// Meshes that load their geometry from OBJ files.
#include <unistd.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "core_fixture.h"
#include "obj_geometry.h"

namespace Zarnik {
namespace Engine {
namespace {

constexpr const char* kTwoMaterials =
    "# a quad and a triangle\n"
    "mtllib scene.mtl\n"
    "o Box\n"
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv +0.5 2 1e-1 1.0\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
    "vn 0 0 1\n"
    "usemtl Red\n"
    "s 1\n"
    "f 1/1/1 2/2/1 3/3/1 4/4/1   # trailing comment\r\n"
    "usemtl Blue Glass\n"
    "f -2/-1/-1 -3/-2/-1 5/1/1\n"
    "usemtl Red\n"
    "f 1/1/1 3/3/1 5/2/1\n";

std::vector<int32_t> Ints(const ApiArray<int32_t>& a) { return std::vector<int32_t>(a.begin(), a.end()); }

TEST(ObjParse, PolygonsIndicesAndMaterialSlots) {
    ObjMesh mesh;
    ASSERT_TRUE(ParseObj(kTwoMaterials, std::strlen(kTwoMaterials), mesh));
    EXPECT_EQ(mesh.verticesPerPoly, (std::vector<int32_t>{4, 3, 3}));
    ASSERT_EQ(mesh.positions.size(), 5u);
    EXPECT_EQ(mesh.positions[4], (float_3{0.5f, 2.0f, 0.1f}));
    // Negative indices count back from the last element read so far.
    EXPECT_EQ(mesh.positionIndices, (std::vector<int32_t>{0, 1, 2, 3, 3, 2, 4, 0, 2, 4}));
    EXPECT_EQ(mesh.uvwIndices, (std::vector<int32_t>{0, 1, 2, 3, 3, 2, 0, 0, 2, 1}));
    EXPECT_EQ(mesh.normalIndices, std::vector<int32_t>(10, 0));
    ASSERT_EQ(mesh.uvws.size(), 4u);
    EXPECT_EQ(mesh.uvws[2], (float_3{1.0f, 1.0f, 0.0f}));
    EXPECT_EQ(mesh.polyMaterials, (std::vector<int32_t>{0, 1, 0}));
    EXPECT_EQ(mesh.materialNames, (std::vector<std::string>{"Red", "Blue Glass"}));
}

TEST(ObjParse, PartialCornerDataAndUnnamedFaces) {
    // One corner without a texture coordinate, no normals at all, faces before usemtl.
    const std::string text = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nf 1/1 2/1 3\nusemtl M\nf 3 2 1\n";
    ObjMesh mesh;
    ASSERT_TRUE(ParseObj(text.data(), text.size(), mesh));
    EXPECT_TRUE(mesh.uvws.empty());
    EXPECT_TRUE(mesh.uvwIndices.empty());
    EXPECT_TRUE(mesh.normals.empty());
    EXPECT_EQ(mesh.materialNames, (std::vector<std::string>{"default", "M"}));
    EXPECT_EQ(mesh.polyMaterials, (std::vector<int32_t>{0, 1}));
}

TEST(ObjParse, MalformedTextGivesAnEmptyMesh) {
    const char* bad[] = {
        "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n",          // index past the end
        "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 0 1 2\n",          // 0 names nothing
        "v 0 0 0\nv 1 0 0\nv 0 1 0\nf -4 1 2\n",         // before the first vertex
        "v 0 0 0\nv 1 0 0\nf 1 2\n",                     // two corners
        "v 0 0 x\n",                                     // not a number
        "v 0 0 nan\n",                                   // not finite
        "v 1 2\n",                                       // too few coordinates
        "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1/1/1/1 2 3\n",    // four parts in a corner
        "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1/1 2/1 3/1\n",    // texture coordinate never given
        "v 0 0 0\nf 1 1 99999999999\n",                  // wider than an index
    };
    for (const char* text : bad) {
        ObjMesh mesh;
        EXPECT_FALSE(ParseObj(text, std::strlen(text), mesh)) << text;
        EXPECT_TRUE(mesh.positions.empty() && mesh.verticesPerPoly.empty()) << text;
    }
    std::string huge = "v 0 0 0\nf";
    for (size_t i = 0; i <= kMaxObjPolygonCorners; ++i) huge += " 1";
    ObjMesh mesh;
    EXPECT_FALSE(ParseObj(huge.data(), huge.size(), mesh));
    EXPECT_TRUE(IsObjPath("/a/b.OBJ"));
    EXPECT_FALSE(IsObjPath("obj"));
    EXPECT_FALSE(IsObjPath("/a/b.objx"));
}

class ObjMeshNodeTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        char pattern[] = "/tmp/obj_geometry_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override {
        CoreTest::TearDown();
        std::remove((folder_ + "/model.OBJ").c_str());
        rmdir((folder_ + "/dir.obj").c_str());
        rmdir(folder_.c_str());
    }
    std::string write(const std::string& text) {
        const std::string path = folder_ + "/model.OBJ";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    std::string folder_;
};

TEST_F(ObjMeshNodeTest, EvaluationLoadsTheFileOnceUntilReloadIsAsked) {
    const std::string path = write(kTwoMaterials);
    ApiNode* mesh = make(Types::Mesh);
    ASSERT_TRUE(mesh->set(Attrs::Reload, false, false));
    ASSERT_TRUE(mesh->set(Attrs::Filename, path.c_str(), true));
    EXPECT_EQ(Ints(mesh->getIntArray(189)), (std::vector<int32_t>{4, 3, 3}));
    EXPECT_EQ(mesh->getFloat3Array(190).size(), 5u);
    EXPECT_EQ(mesh->getFloat3Array(80).size(), 1u);
    EXPECT_EQ(Ints(mesh->getIntArray(114)), (std::vector<int32_t>{0, 1, 0}));
    ASSERT_EQ(mesh->getStringArray(Attrs::MaterialNames).size(), 2u);
    EXPECT_STREQ(mesh->getStringArray(Attrs::MaterialNames)[1], "Blue Glass");
    EXPECT_EQ(mesh->pinCount(), 2u);    // one material input per name

    // The file changes: nothing happens until a reload is asked for, which is then spent.
    write("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    mesh->evaluate();
    EXPECT_EQ(mesh->getFloat3Array(190).size(), 5u);
    ASSERT_TRUE(mesh->set(Attrs::Reload, true, true));
    EXPECT_EQ(mesh->getFloat3Array(190).size(), 3u);
    EXPECT_FALSE(mesh->getBool(Attrs::Reload));
    EXPECT_EQ(mesh->pinCount(), 1u);

    // A copy carries the loaded geometry.
    ApiItem* copy = project().copyItemTree(mesh);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->getFloat3Array(190).size(), 3u);

    // No file name any more: the loaded geometry goes with it.
    ASSERT_TRUE(mesh->set(Attrs::Filename, "", true));
    EXPECT_TRUE(mesh->getFloat3Array(190).empty());
    EXPECT_TRUE(mesh->getIntArray(189).empty());
}

TEST_F(ObjMeshNodeTest, UnusableFilesLeaveTheMeshEmpty) {
    ApiNode* mesh = make(Types::Mesh);
    const float_3 point{1, 2, 3};
    ASSERT_TRUE(mesh->set(190, &point, 1, false));

    const std::string broken = write("v 0 0 0\nf 1 2 3\n");
    ASSERT_EQ(mkdir((folder_ + "/dir.obj").c_str(), 0700), 0);
    const std::string cases[] = {broken, folder_ + "/missing.obj", folder_ + "/dir.obj"};
    for (const std::string& path : cases) {
        ASSERT_TRUE(mesh->set(190, &point, 1, false));
        ASSERT_TRUE(mesh->set(Attrs::Reload, true, false));
        ASSERT_TRUE(mesh->set(Attrs::Filename, path.c_str(), true)) << path;
        EXPECT_TRUE(mesh->getFloat3Array(190).empty()) << path;
    }
    // Names that are not OBJ files are not the loader's business.
    ASSERT_TRUE(mesh->set(Attrs::Filename, "model.fbx", true));
    ASSERT_TRUE(mesh->set(190, &point, 1, true));
    EXPECT_EQ(mesh->getFloat3Array(190).size(), 1u);
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik
