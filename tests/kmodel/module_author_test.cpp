// What a module author relies on: an image importing a routine the kernel lacks is refused by
// name, and README.md lists exactly the routines the model exports.
#include <fstream>
#include <sstream>

#include "model_test_util.h"

namespace {

class ModuleAuthorTest : public KernelTest {};

TEST_F(ModuleAuthorTest, AnImageWithAnUnresolvedImportIsRefusedNamingTheRoutineAndTheImage)
{
    std::string error;
    EXPECT_EQ(km::LoadImage(km::ImageDirectory() + "/unresolved.so", &error), nullptr);
    EXPECT_EQ(error, "image unresolved.so imports IoRoutineNoKernelExports, which the kernel does not export: not loaded");
}

// The list between the markers is generated from the export table: on a difference, the
// expected text is printed to paste in.
TEST_F(ModuleAuthorTest, ReadmeListsTheExportTable)
{
    const std::string begin = "<!-- kernel exports: generated from the model's export table -->\n";
    const std::string end = "<!-- end of kernel exports -->";
    std::ifstream file(std::string(FILTERHOST_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(file.good());
    std::stringstream text;
    text << file.rdbuf();
    std::string readme = text.str();
    size_t first = readme.find(begin);
    size_t last = readme.find(end);
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    std::string listed = readme.substr(first + begin.size(), last - first - begin.size());
    std::string expected;
    for (const std::string& name : km::ExportNames()) {
        expected += "`" + name + "`\n";
    }
    EXPECT_EQ(listed, expected) << "README.md's list should read:\n" << expected;
}

}  // namespace
