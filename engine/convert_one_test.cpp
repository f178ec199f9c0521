#include "engine/convert_one.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::Bitmap;
using testing::TempDir;

class ConvertOneTest : public ::testing::Test {
 protected:
  ConvertOneTest() {
    options.workFile = dir.file("qrvtmp.tmp");
    options.segmentFile = dir.file("bsegtmp.tmp");
    options.tiffWorkFile = dir.file("tmptif");
    options.intermediateFile = dir.file("qrvintif.tmp");
  }

  // A three-page fmf file (TIFF-structured) written by libtiff.
  std::string makeFmf(const std::string& name, int pages = 3) {
    std::vector<testing::TiffPageSpec> specs;
    for (int p = 0; p < pages; ++p) {
      testing::TiffPageSpec spec;
      spec.bitmap = testing::makeTextPage(1728, 300 + 40 * p, 11 + p);
      spec.coding = p % 2 ? testing::Ccitt::kT4TwoD : testing::Ccitt::kT6;
      sources.push_back(spec.bitmap);
      specs.push_back(spec);
    }
    const std::string path = dir.file(name);
    EXPECT_TRUE(testing::writeTiff(path, specs));
    return path;
  }

  std::string makeText(const std::string& name) {
    const std::string text = "This is not a fax, just a note.\n";
    const std::string path = dir.file(name);
    EXPECT_TRUE(testing::writeFileBytes(path, std::vector<uint8_t>(text.begin(), text.end())));
    return path;
  }

  TempDir dir;
  ConversionOptions options;
  BatchJob job;
  std::vector<Bitmap> sources;
};

TEST_F(ConvertOneTest, SkipsOnlyADestinationThatHoldsData) {
  const std::string source = makeText("fax.g3");
  const std::string destination = dir.file("fax.tif");
  ASSERT_TRUE(testing::writeFileBytes(destination, {1, 2}));
  job.skipExisting = 1;
  EXPECT_EQ(kSkippedExisting, convertOne(job, options, source, destination));
  EXPECT_EQ(source + " --> " + destination + " : Skipped : " + destination + " already exist!\r\n",
            job.resultsText);

  ASSERT_TRUE(testing::writeFileBytes(destination, {}));
  job.resultsText.clear();
  EXPECT_EQ(kNotFax, convertOne(job, options, source, destination));
  EXPECT_EQ(source + " --> " + destination + " : Failed : " + source + " - Not Fax\r\n",
            job.resultsText);
}

TEST_F(ConvertOneTest, FolderThatCannotBeCreated) {
  const std::string source = makeText("fax.g3");
  ASSERT_TRUE(testing::writeFileBytes(dir.file("blocker"), {1}));
  const std::string destination = dir.file("blocker/sub/fax.tif");
  EXPECT_EQ(kFolderNotCreated, convertOne(job, options, source, destination));
  EXPECT_EQ(source + " --> " + destination + " : Failed to create dir: " + dir.file("blocker/sub") +
                "\r\n",
            job.resultsText);
}

TEST_F(ConvertOneTest, NotAFaxStaysInPlaceEvenWithABackupFolder) {
  const std::string source = makeText("fax.g3");
  job.backupFolder = dir.file("backup");
  EXPECT_EQ(kNotFax, convertOne(job, options, source, dir.file("out/fax.tif")));
  EXPECT_TRUE(fs::exists(source));
  EXPECT_FALSE(fs::exists(dir.file("backup/fax.g3")));
  EXPECT_FALSE(fs::exists(dir.file("out/fax.tif")));
}

TEST_F(ConvertOneTest, ConvertsCreatesFoldersAndMovesTheSource) {
  const std::string source = makeFmf("in.fmf");
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
  fs::last_write_time(source, old);
  job.keepDateTime = 1;
  job.backupFolder = dir.file("backup");
  const std::string destination = dir.file("a/b/c/in.tif");
  ASSERT_EQ(kConverted, convertOne(job, options, source, destination));
  EXPECT_EQ(source + " --> " + destination + " : Success !\r\n", job.resultsText);
  EXPECT_EQ(sources, testing::readTiffPages(destination));
  EXPECT_EQ(old, fs::last_write_time(destination));
  EXPECT_FALSE(fs::exists(source));
  EXPECT_TRUE(fs::exists(dir.file("backup/in.fmf")));
  for (const auto& entry : fs::directory_iterator(dir.file("a/b/c")))
    EXPECT_EQ("in.tif", entry.path().filename()) << "no temporary file is left behind";
  // Written under a private temporary name, yet readable as any new file is.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat st {};
  ASSERT_EQ(0, ::stat(destination.c_str(), &st));
  EXPECT_EQ(0666 & ~mask, st.st_mode & 0777);
}

TEST_F(ConvertOneTest, BackupNeverReplacesAFileAlreadyThere) {
  const std::string source = makeFmf("in.fmf", 1);
  ASSERT_TRUE(fs::create_directory(dir.file("backup")));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("backup/in.fmf"), {42}));
  job.backupFolder = dir.file("backup");
  EXPECT_EQ(kConverted, convertOne(job, options, source, dir.file("in.tif")));
  EXPECT_TRUE(fs::exists(source));
  EXPECT_EQ(std::vector<uint8_t>{42}, testing::readFileBytes(dir.file("backup/in.fmf")));
  // The source staying put is said, in the report and on standard error.
  EXPECT_NE(std::string::npos,
            job.resultsText.find("Success !\r\n        not moved to " + dir.file("backup") +
                                 " : a file of that name is already there\r\n"))
      << job.resultsText;
  EXPECT_NE(std::string::npos, job.errorText.find(source + " not moved to ")) << job.errorText;
}

TEST_F(ConvertOneTest, SplitModeWritesOnePageFileEach) {
  const std::string source = makeFmf("in.fmf");
  options.ConvertFlag = 1;
  const std::string destination = dir.file("out/a.tif");
  ASSERT_EQ(kConverted, convertOne(job, options, source, destination));
  std::string expected = source + " --> " + destination + " : Multiple pages as following :\r\n";
  for (int p = 1; p <= 3; ++p) {
    const std::string page = dir.file("out/a00" + std::to_string(p) + ".tif");
    expected += "        page 00" + std::to_string(p) + " --> " + page + " : Success !\r\n";
    const auto pages = testing::readTiffPages(page);
    ASSERT_EQ(1u, pages.size()) << page;
    EXPECT_EQ(sources[p - 1], pages[0]) << page;
  }
  EXPECT_EQ(expected, job.resultsText);
  EXPECT_FALSE(fs::exists(destination));
}

TEST_F(ConvertOneTest, SplitModeOfOnePageUsesTheDestinationName) {
  const std::string source = makeFmf("in.fmf", 1);
  options.ConvertFlag = 1;
  ASSERT_EQ(kConverted, convertOne(job, options, source, dir.file("one.tif")));
  EXPECT_EQ(1u, testing::readTiffPages(dir.file("one.tif")).size());
  EXPECT_FALSE(fs::exists(dir.file("one001.tif")));
}

TEST_F(ConvertOneTest, EarlierIntermediatesNeverPassForANewFile) {
  const std::string good = makeFmf("good.fmf");
  options.ConvertFlag = 1;
  ASSERT_EQ(kConverted, convertOne(job, options, good, dir.file("good.tif")));
  // The intermediates of the good file are still on disk; a non-fax must not pick them up.
  EXPECT_EQ(kNotFax, convertOne(job, options, makeText("bad.g3"), dir.file("bad.tif")));
  EXPECT_FALSE(fs::exists(dir.file("bad001.tif")));
  EXPECT_FALSE(fs::exists(dir.file("bad.tif")));
  // A page left behind a gap (no page 1) goes too.
  ASSERT_TRUE(testing::writeFileBytes(dir.file("qrvintif002.tif"), {1}));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("qrvintif1000.tif"), {1}));
  EXPECT_EQ(kNotFax, convertOne(job, options, makeText("bad2.g3"), dir.file("bad2.tif")));
  EXPECT_FALSE(fs::exists(dir.file("qrvintif002.tif")));
  EXPECT_FALSE(fs::exists(dir.file("qrvintif1000.tif")));
  EXPECT_TRUE(fs::exists(dir.file("good.fmf"))) << "only page files are removed";
}

TEST_F(ConvertOneTest, WorkFilesAreGoneOnceAFileIsDone) {
  // Work files of their own folder, as a run has them.
  fs::create_directory(dir.file("work"));
  options.workFile = dir.file("work/qrvtmp.tmp");
  options.segmentFile = dir.file("work/bsegtmp.tmp");
  options.tiffWorkFile = dir.file("work/tmptif");
  options.intermediateFile = dir.file("work/qrvintif.tmp");
  const Bitmap page = testing::makeTextPage(1728, 400, 5);
  const std::vector<uint8_t> mh = testing::encodeCcitt(page, testing::Ccitt::kT4OneD);
  ASSERT_TRUE(testing::writeFileBytes(dir.file("in.g3"), mh));
  const std::string fmf = makeFmf("in.fmf");
  for (int split : {0, 1}) {
    options.ConvertFlag = split;
    const std::string tag = std::to_string(split);
    ASSERT_EQ(kConverted, convertOne(job, options, dir.file("in.g3"), dir.file(tag + "raw.tif")));
    EXPECT_EQ(page, testing::readTiffPages(dir.file(tag + "raw.tif")).at(0));
    EXPECT_TRUE(fs::is_empty(dir.file("work"))) << "after the raw stream, split " << split;
    ASSERT_EQ(kConverted, convertOne(job, options, fmf, dir.file(tag + "fmf.tif")));
    EXPECT_TRUE(fs::is_empty(dir.file("work"))) << "after the fmf, split " << split;
    EXPECT_EQ(kNotFax, convertOne(job, options, makeText("note.g3"), dir.file(tag + "note.tif")));
    EXPECT_TRUE(fs::is_empty(dir.file("work"))) << "after a refusal, split " << split;
  }
}

}  // namespace
}  // namespace tarnwick
