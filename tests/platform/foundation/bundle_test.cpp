// The main bundle's folder and the resources of a bundle by type.

#include "platform/foundation/bundle.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

// Sets (or, with no value, unsets) TOVARINE_RESOURCES for the life of the object.
class ResourcesVariable {
 public:
  explicit ResourcesVariable(const char* value) {
    if (const char* old = std::getenv("TOVARINE_RESOURCES")) saved_ = old;
    if (value) {
      ::setenv("TOVARINE_RESOURCES", value, 1);
    } else {
      ::unsetenv("TOVARINE_RESOURCES");
    }
  }
  ~ResourcesVariable() {
    if (saved_) {
      ::setenv("TOVARINE_RESOURCES", saved_->c_str(), 1);
    } else {
      ::unsetenv("TOVARINE_RESOURCES");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST(BundleTest, TheMainBundleIsTheVariablesFolderElseResourcesBesideTheProgram) {
  const fs::path beside = fs::read_symlink("/proc/self/exe").parent_path() / "resources";
  struct Row {
    const char* value;  // null: unset
    fs::path expected;
  } rows[] = {
      {"/opt/elsewhere/resources", "/opt/elsewhere/resources"},
      {"", beside},
      {nullptr, beside},
  };
  for (const auto& row : rows) {
    ResourcesVariable variable(row.value);
    EXPECT_EQ(platform::mainBundlePath(), row.expected) << (row.value ? row.value : "(unset)");
    EXPECT_EQ(platform::Bundle::main().path(), row.expected);
  }
}

TEST(BundleTest, AnInstalledProgramFindsItsResourcesUnderTheSharedFolderOfItsPrefix) {
  testsupport::TemporaryDirectory folder;
  ASSERT_TRUE(folder.create("tovarine-prefix"));
  const fs::path root(folder.path());
  struct Row {
    const char* name;
    std::vector<fs::path> folders;  // made below the temporary folder
    const char* variable;           // null: unset
    fs::path expected;              // below the temporary folder unless absolute
  } rows[] = {
      {"build tree", {"build/resources"}, nullptr, "build/resources"},
      {"installed", {"usr/bin", "usr/share/tovarine"}, nullptr, "usr/share/tovarine"},
      {"both: the build tree's first", {"p/resources", "share/tovarine"}, nullptr, "p/resources"},
      {"neither", {"q/x"}, nullptr, "q/resources"},
      {"variable", {"usr/bin", "usr/share/tovarine"}, "/opt/r", "/opt/r"},
      {"empty variable", {"usr/bin", "usr/share/tovarine"}, "", "usr/share/tovarine"},
  };
  for (const auto& row : rows) {
    const fs::path base = root / row.name;
    for (const auto& made : row.folders)
      fs::create_directories(base / made);
    // The executable's folder is the first folder's parent ("bin" for the installed row).
    const fs::path program =
        (row.folders.front().filename() == "bin" ? base / row.folders.front()
                                                 : base / row.folders.front().parent_path()) /
        "tovarine";
    const fs::path expected = row.expected.is_absolute() ? row.expected : base / row.expected;
    EXPECT_EQ(platform::mainBundlePathFor(row.variable, program), expected) << row.name;
  }
  EXPECT_EQ(platform::mainBundlePathFor(nullptr, {}), fs::path());
}

TEST(BundleTest, ResourcesOfATypeAreTheRegularFilesWithThatExtension) {
  testsupport::TemporaryDirectory folder;
  ASSERT_TRUE(folder.create("tovarine-bundle"));
  const fs::path root(folder.path());
  for (const char* name : {"b.cer", "a.cer", "c.CER", "d.cer.txt", "cer", "e.der"}) {
    std::ofstream(root / name) << "x";
  }
  fs::create_directory(root / "f.cer");
  fs::create_directory(root / "nested");
  std::ofstream(root / "nested" / "g.cer") << "x";

  const platform::Bundle bundle(root);
  struct Row {
    const char* type;
    std::vector<std::string> expected;
  } rows[] = {
      {"cer", {"a.cer", "b.cer"}},  // in name order; neither the folder nor the nested file
      {".cer", {"a.cer", "b.cer"}}, {"CER", {"c.CER"}}, {"txt", {"d.cer.txt"}}, {"pem", {}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> names;
    for (const auto& path : bundle.pathsForResourcesOfType(row.type)) {
      EXPECT_EQ(path.parent_path(), root);
      names.push_back(path.filename().string());
    }
    EXPECT_EQ(names, row.expected) << row.type;
  }
  EXPECT_TRUE(platform::Bundle(root / "missing").pathsForResourcesOfType("cer").empty());
  EXPECT_TRUE(platform::Bundle(fs::path()).pathsForResourcesOfType("cer").empty());
}

}  // namespace
