// A frame that cannot be read ends the player through its real CleanExit:
// the messages, the gamma put back, exit status 0.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "core_fixture.h"
#include "view.h"

namespace {

// A stand-in for the gamma command that notes its arguments in a file.
std::string FakeGammaDir() {
  const std::string dir = ::testing::TempDir() + "halvview_core_fakebin";
  mkdir(dir.c_str(), 0755);
  const std::string script = dir + "/xgamma";
  std::ofstream(script) << "#!/bin/sh\necho \"$@\" >> \"" << dir << "/calls\"\n";
  chmod(script.c_str(), 0755);
  remove((dir + "/calls").c_str());
  return dir;
}

TEST(CleanExitDeathTest, FailedReadEndsWithStatusZeroAndGammaRestored) {
  const int W = 6, H = 3;
  const std::string path = WriteMovie("exit_cut", W, H, 1, 3, MarkedMovie(3, 1, W, H), false, 5);
  const std::string bin = FakeGammaDir();
  EXPECT_EXIT(
      {
        setenv("PATH", bin.c_str(), 1);
        const std::unique_ptr<Session> session = OpenMovie(path, W, H, 1, 3);
        ShowFrame(session.get(), 0);
        ShowFrame(session.get(), 1);
        ShowFrame(session.get(), 2);  // cut short by 5 bytes
      },
      ::testing::ExitedWithCode(0),
      "^Error reading image data\nFailed to read rgbe buffer, frame 2\n$");
  std::ifstream calls(bin + "/calls");
  std::stringstream text;
  text << calls.rdbuf();
  EXPECT_EQ(text.str(), "-gamma 1\n");
  RemoveWrittenMovies();
}

}  // namespace
