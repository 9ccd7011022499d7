// Weights-file choice: the environment's path as it stands, else a regular
// file of the default name in the model directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "artifact.h"

namespace fs = std::filesystem;
using namespace brain;

class PickArtifact : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("OLVU_M_MODEL");
    dir_ = fs::temp_directory_path() / ("pick_artifact_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    unsetenv("OLVU_M_MODEL");
    fs::remove_all(dir_);
  }
  void touch(const fs::path& p) { std::ofstream(p) << "x"; }
  fs::path dir_;
};

TEST_F(PickArtifact, DefaultFileInTheModelDirectory) {
  EXPECT_EQ(pick_artifact(dir_), std::nullopt);
  touch(dir_ / DEFAULT_ARTIFACT);
  EXPECT_EQ(pick_artifact(dir_), dir_ / "olvu-m-qwen38d-q8e16.olvt");
  // A trailing separator adds none of its own.
  EXPECT_EQ(pick_artifact(dir_.string() + "/")->string(), dir_.string() + "/olvu-m-qwen38d-q8e16.olvt");
}

TEST_F(PickArtifact, OnlyARegularFileCountsLinksFollowed) {
  fs::create_directory(dir_ / DEFAULT_ARTIFACT);
  EXPECT_EQ(pick_artifact(dir_), std::nullopt);  // a directory of that name

  const fs::path other = dir_ / "other";
  fs::create_directories(other);
  fs::create_symlink(dir_ / "missing.olvt", other / DEFAULT_ARTIFACT);
  EXPECT_EQ(pick_artifact(other), std::nullopt);  // dangling link
  touch(dir_ / "missing.olvt");
  EXPECT_EQ(pick_artifact(other), other / DEFAULT_ARTIFACT);  // link to a regular file
}

TEST_F(PickArtifact, EnvironmentPathIsTakenUnchangedWithoutLookingAtTheDirectory) {
  touch(dir_ / DEFAULT_ARTIFACT);
  for (const char* value : {"/nowhere/at/all.olvt", "relative/w.olvt", "", "/tmp/caf\xC3\xA9.olvt"}) {
    setenv("OLVU_M_MODEL", value, 1);
    EXPECT_EQ(pick_artifact(dir_), fs::path(value)) << value;
    EXPECT_EQ(pick_artifact(dir_ / "not-a-dir"), fs::path(value)) << value;
  }
}

TEST_F(PickArtifact, EnvironmentPathThatIsNotUtf8IsIgnored) {
  setenv("OLVU_M_MODEL", "/tmp/caf\xE9.olvt", 1);
  EXPECT_EQ(pick_artifact(dir_), std::nullopt);
  touch(dir_ / DEFAULT_ARTIFACT);
  EXPECT_EQ(pick_artifact(dir_), dir_ / DEFAULT_ARTIFACT);
}
