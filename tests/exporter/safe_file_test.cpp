// Files written under a temporary name and renamed: the target appears only
// whole, replaced or kept as asked, and a failure leaves nothing behind;
// PNG and PPM writing reports a full device.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "exporter.h"

namespace {

class SafeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = ::testing::TempDir() + "exporter_safe_" + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
  }
  void TearDown() override {
    for (const std::string &name : Names()) unlink((dir + "/" + name).c_str());
    rmdir(dir.c_str());
  }
  // The names in the folder.
  std::set<std::string> Names() const {
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
    closedir(d);
    return names;
  }
  std::string Read(const std::string &name) const {
    std::string text;
    FILE *f = fopen((dir + "/" + name).c_str(), "rb");
    if (!f) return "<missing>";
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    return text;
  }
  void Write(const std::string &name, const std::string &text) const {
    FILE *f = fopen((dir + "/" + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs(text.c_str(), f);
    fclose(f);
  }
  std::string dir;
};

}  // namespace

TEST_F(SafeFile, TargetAppearsOnlyWhenCommitted) {
  PendingFile f;
  ASSERT_EQ(CreatePendingFile(dir + "/frame_001.png", &f), 0);
  // The temporary file lies beside the target, hidden, and the target is not
  // there while it is written.
  EXPECT_EQ(f.temp.rfind(dir + "/.frame_001.png.", 0), 0u) << f.temp;
  EXPECT_EQ(Names(), std::set<std::string>{f.temp.substr(dir.size() + 1)});
  ASSERT_EQ(WriteWhole(f.fd, "picture", 7), 0);
  EXPECT_EQ(Read("frame_001.png"), "<missing>");
  ASSERT_EQ(ClosePendingFile(&f), 0);
  EXPECT_EQ(Read("frame_001.png"), "<missing>");
  ASSERT_EQ(CommitPendingFile(&f), 0);
  EXPECT_EQ(Names(), std::set<std::string>{"frame_001.png"});
  EXPECT_EQ(Read("frame_001.png"), "picture");
}

TEST_F(SafeFile, CommitReplacesAnOlderFile) {
  Write("frame.png", "old");
  PendingFile f;
  ASSERT_EQ(CreatePendingFile(dir + "/frame.png", &f), 0);
  ASSERT_EQ(WriteWhole(f.fd, "new", 3), 0);
  ASSERT_EQ(ClosePendingFile(&f), 0);
  EXPECT_EQ(Read("frame.png"), "old");
  ASSERT_EQ(CommitPendingFile(&f), 0);
  EXPECT_EQ(Read("frame.png"), "new");
  EXPECT_EQ(Names().size(), 1u);
}

TEST_F(SafeFile, NoReplaceKeepsTheOlderFileAndTheTemporary) {
  Write("shot.png", "old");
  PendingFile f;
  ASSERT_EQ(CreatePendingFile(dir + "/shot.png", &f), 0);
  ASSERT_EQ(WriteWhole(f.fd, "new", 3), 0);
  ASSERT_EQ(ClosePendingFile(&f), 0);
  EXPECT_EQ(CommitPendingFileNoReplace(&f, dir + "/shot.png"), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Read("shot.png"), "old");
  ASSERT_EQ(CommitPendingFileNoReplace(&f, dir + "/shot-2.png"), 0);
  EXPECT_EQ(Read("shot-2.png"), "new");
  EXPECT_EQ(Names(), (std::set<std::string>{"shot.png", "shot-2.png"}));
}

TEST_F(SafeFile, DiscardRemovesTheTemporaryFile) {
  PendingFile f;
  ASSERT_EQ(CreatePendingFile(dir + "/frame.png", &f), 0);
  ASSERT_EQ(WriteWhole(f.fd, "part", 4), 0);
  DiscardPendingFile(&f);  // still open
  EXPECT_TRUE(Names().empty());
  PendingFile g;
  ASSERT_EQ(CreatePendingFile(dir + "/frame.png", &g), 0);
  ASSERT_EQ(ClosePendingFile(&g), 0);
  DiscardPendingFile(&g);  // closed
  EXPECT_TRUE(Names().empty());
  DiscardPendingFile(&g);  // twice: nothing left to do
}

TEST_F(SafeFile, TemporaryNamesNeverMeet) {
  PendingFile a, b;
  ASSERT_EQ(CreatePendingFile(dir + "/same.png", &a), 0);
  ASSERT_EQ(CreatePendingFile(dir + "/same.png", &b), 0);
  EXPECT_NE(a.temp, b.temp);
  DiscardPendingFile(&a);
  DiscardPendingFile(&b);
  // A long name keeps the temporary name within a file name's limit.
  const std::string longname(250, 'x');
  PendingFile c;
  ASSERT_EQ(CreatePendingFile(dir + "/" + longname, &c), 0) << strerror(errno);
  DiscardPendingFile(&c);
}

TEST_F(SafeFile, MissingDirectoryFails) {
  PendingFile f;
  EXPECT_EQ(CreatePendingFile(dir + "/absent/frame.png", &f), -1);
  EXPECT_EQ(errno, ENOENT);
  Write("plain", "x");
  EXPECT_EQ(CreatePendingFile(dir + "/plain/frame.png", &f), -1);
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(PictureFile, FullDeviceIsReported) {
  const int fd = open("/dev/full", O_WRONLY);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  std::vector<unsigned char> samples(3 * 64 * 64, 7);
  std::string error;
  EXPECT_EQ(WritePng(fd, 64, 64, 8, samples.data(), 3 * 64, &error), -1);
  EXPECT_EQ(error, strerror(ENOSPC));
  EXPECT_EQ(WriteWhole(fd, samples.data(), samples.size()), -1);
  EXPECT_EQ(errno, ENOSPC);
  close(fd);
}

TEST(PictureFile, PpmHeaders) {
  EXPECT_EQ(PpmHeader(1920, 1080, 8), "P6\n1920 1080\n255\n");
  EXPECT_EQ(PpmHeader(96, 36, 16), "P6\n96 36\n65535\n");
}
