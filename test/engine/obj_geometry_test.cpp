// Meshes that load their geometry from OBJ files.
#include <sys/stat.h>
#include <unistd.h>

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
    "o Box  # a quad and a triangle\n"
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv +0.5 2 1e-1 1.0\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nvn 0 0 1\n"
    "usemtl Red\nf 1/1/1 2/2/1 3/3/1 4/4/1\r\n"
    "usemtl Blue Glass\nf -2/-1/-1 -3/-2/-1 5/1/1\n"
    "usemtl Red\nf 1/1/1 3/3/1 5/2/1\n";

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
    EXPECT_EQ(mesh.polyMaterials, (std::vector<int32_t>{0, 1, 0}));
    EXPECT_EQ(mesh.materialNames, (std::vector<std::string>{"Red", "Blue Glass"}));

    // A corner without a texture coordinate drops them all; faces before usemtl share a slot.
    const std::string partial = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nf 1/1 2/1 3\nusemtl M\nf 3 2 1\n";
    ASSERT_TRUE(ParseObj(partial.data(), partial.size(), mesh));
    EXPECT_TRUE(mesh.uvws.empty() && mesh.uvwIndices.empty() && mesh.normals.empty());
    EXPECT_EQ(mesh.materialNames, (std::vector<std::string>{"default", "M"}));
}

TEST(ObjParse, UnreadableElementsRefuseTheFileAndSayWhere) {
    const std::string bad[] = {"v 0 0 x\n", "v 0 0 nan\n", "v 1 2\n", "vn 0 1\n", "vt\n"};
    for (const std::string& text : bad) {
        ObjMesh mesh;
        const std::string file = "v 0 0 0\n\n" + text + "v 1 0 0\nv 0 1 0\nf 1 2 3\n";
        EXPECT_FALSE(ParseObj(file.data(), file.size(), mesh)) << text;
        EXPECT_TRUE(mesh.positions.empty() && mesh.verticesPerPoly.empty()) << text;
        ASSERT_EQ(mesh.warnings.size(), 1u) << text;
        EXPECT_EQ(mesh.warnings[0].rfind("line 3: ", 0), 0u) << mesh.warnings[0];
    }
    EXPECT_TRUE(IsObjPath("/a/b.OBJ"));
    EXPECT_FALSE(IsObjPath("obj"));
    EXPECT_FALSE(IsObjPath("/a/b.objx"));
}

TEST(ObjParse, FacesThatCannotBeUsedAreSkippedWithOneWarningPerKind) {
    std::string many_corners = "f";
    for (size_t i = 0; i <= kMaxObjPolygonCorners; ++i) many_corners += " 1";
    const std::string text =
        "\xEF\xBB\xBFv 0 0 0\nv 1 0 0\nv 0 1 0 0.5 0.5 0.5\nv 0x1p0 1. .5\n"     // 1-4
        "vt 0 0\n"                                                                // 5
        "f 1 2\nf 1 2 9\nf 0 1 2\nf 1 2 -5\nf 1 1 99999999999\n"                 // 6-10
        "f 1/1/1/1 2 3\n" + many_corners + "\n"                                  // 11-12
        "f 1 2 \\\n 3 \\\n 4\n"                                                   // 13-15: one quad
        "f 1 2 9\n"                                                               // 16
        "f 1/1 2/7 3/-3\n"                                                        // 17
        "maplib any.map\nusemap any\nl 1 2\np 1\n";                               // 18-21
    ObjMesh mesh;
    ASSERT_TRUE(ParseObj(text.data(), text.size(), mesh));
    EXPECT_EQ(mesh.verticesPerPoly, (std::vector<int32_t>{4, 3}));
    EXPECT_EQ(mesh.positionIndices, (std::vector<int32_t>{0, 1, 2, 3, 0, 1, 2}));
    EXPECT_EQ(mesh.positions[3], (float_3{1.0f, 1.0f, 0.5f}));
    // Texture coordinates that never came share an added zero one; the quad names none, so
    // no corner keeps a coordinate at all.
    EXPECT_TRUE(mesh.uvws.empty());
    EXPECT_EQ(mesh.warnings, (std::vector<std::string>{
                                 "line 6: face with fewer than three corners skipped",
                                 "line 7: face naming a vertex that does not exist skipped (6 times, first here)",
                                 "line 12: face with too many corners skipped",
                             }));

    const std::string uvs = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 1 1\nf 1/1 2/1 3/1\nf 1/1 2/4 3/-3\nf 1/1 3/1 2/1\n";
    ASSERT_TRUE(ParseObj(uvs.data(), uvs.size(), mesh));
    EXPECT_EQ(mesh.uvws.size(), 2u);
    EXPECT_EQ(mesh.uvwIndices, (std::vector<int32_t>{0, 0, 0, 0, 1, 1, 0, 0, 0}));
    EXPECT_EQ(mesh.warnings,
              (std::vector<std::string>{"line 6: face naming a texture coordinate that does not exist: read as 0"}));

    // A file whose every face is unusable gives an empty mesh, not stray vertices.
    const std::string none = "v 0 0 0\nf 1 2 3\n";
    ASSERT_TRUE(ParseObj(none.data(), none.size(), mesh));
    EXPECT_TRUE(mesh.positions.empty() && mesh.verticesPerPoly.empty());
    EXPECT_EQ(mesh.warnings.size(), 1u);
}

class ObjMeshNodeTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        char pattern[] = "/tmp/obj_geometry_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        path_ = folder_ + "/model.OBJ";
    }
    void TearDown() override {
        CoreTest::TearDown();
        std::remove(path_.c_str());
        rmdir((folder_ + "/dir.obj").c_str());
        rmdir(folder_.c_str());
    }
    void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }

    std::string folder_, path_;
};

TEST_F(ObjMeshNodeTest, EvaluationLoadsTheFileOnceUntilReloadIsAsked) {
    write(kTwoMaterials);
    ApiNode* mesh = make(Types::Mesh);
    ASSERT_TRUE(mesh->set(Attrs::Reload, false, false));
    ASSERT_TRUE(mesh->set(Attrs::Filename, path_.c_str(), true));
    EXPECT_EQ(mesh->getIntArray(189).size(), 3u);
    EXPECT_EQ(mesh->getFloat3Array(190).size(), 5u);
    EXPECT_EQ(mesh->getFloat3Array(80).size(), 1u);
    EXPECT_EQ(mesh->getIntArray(114).size(), 3u);
    EXPECT_STREQ(mesh->getStringArray(Attrs::MaterialNames)[1], "Blue Glass");
    EXPECT_EQ(mesh->pinCount(), 2u);    // one material input per name

    // The file changes: nothing happens until a reload is asked for, which is then spent.
    write("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    mesh->evaluate();
    EXPECT_EQ(mesh->getFloat3Array(190).size(), 5u);
    ASSERT_TRUE(mesh->set(Attrs::Reload, true, true));
    EXPECT_EQ(mesh->getFloat3Array(190).size(), 3u);
    EXPECT_FALSE(mesh->getBool(Attrs::Reload));
    ApiItem* copy = project().copyItemTree(mesh);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->getFloat3Array(190).size(), 3u);

    // Unusable files leave the mesh empty; a name that is no OBJ file drops what was loaded.
    const float_3 point{1, 2, 3};
    ASSERT_EQ(mkdir((folder_ + "/dir.obj").c_str(), 0700), 0);
    write("v 0 0 0\nf 1 2 3\n");
    for (const std::string& path : {path_, folder_ + "/missing.obj", folder_ + "/dir.obj"}) {
        ASSERT_TRUE(mesh->set(190, &point, 1, false));
        ASSERT_TRUE(mesh->set(Attrs::Reload, true, false));
        ASSERT_TRUE(mesh->set(Attrs::Filename, path.c_str(), true));
        EXPECT_TRUE(mesh->getFloat3Array(190).empty()) << path;
    }
    ASSERT_TRUE(mesh->set(190, &point, 1, false));
    ASSERT_TRUE(mesh->set(Attrs::Filename, "model.fbx", true));
    EXPECT_TRUE(mesh->getFloat3Array(190).empty());
    ASSERT_TRUE(mesh->set(190, &point, 1, true));    // not the loader's business any more
    EXPECT_EQ(mesh->getFloat3Array(190).size(), 1u);
}

TEST_F(ObjMeshNodeTest, Utf16WithAMarkIsReadAndBinaryFilesAreRefused) {
    std::string little = "\xFF\xFE", big = "\xFE\xFF";
    const std::u16string units = u"o T\u00FCr\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl \U0001F642\nf 1 2 3\n";
    for (char16_t unit : units) {
        little += char(unit & 0xFF);
        little += char(unit >> 8);
        big += char(unit >> 8);
        big += char(unit & 0xFF);
    }
    for (const std::string& text : {little, big}) {
        write(text);
        ObjMesh mesh;
        ASSERT_TRUE(ReadObjFile(path_, mesh));
        EXPECT_EQ(mesh.verticesPerPoly, (std::vector<int32_t>{3}));
        EXPECT_EQ(mesh.materialNames, (std::vector<std::string>{"\xF0\x9F\x99\x82"}));
        EXPECT_TRUE(mesh.warnings.empty());
    }
    write(little.substr(2));    // the mark is lost
    ObjMesh mesh;
    EXPECT_FALSE(ReadObjFile(path_, mesh));
    EXPECT_TRUE(mesh.positions.empty());
    ASSERT_EQ(mesh.warnings.size(), 1u);
    EXPECT_NE(mesh.warnings[0].find("not a text file"), std::string::npos);
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik
