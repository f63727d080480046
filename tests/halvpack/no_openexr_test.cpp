// A build without the OpenEXR library: an OpenEXR picture fails with a
// message that says why, and a one-name line's right eye is the line's
// other picture, as for any file that holds no stereo pair.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "builder.h"
#include "rgbe.h"

namespace {

TEST(WithoutOpenEXR, OpenEXRPicturesFailSayingWhy) {
  char name[] = "/tmp/halvpack-noexr-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  const char magic[] = "\x76\x2f\x31\x01\x02\x00\x00\x00";
  ASSERT_EQ(write(fd, magic, 8), 8);
  close(fd);
  PictureJob job;
  job.name = name;
  job.size = {8, 2};
  job.view = VIEW_DEFAULT;
  ProcessImage(&job);
  EXPECT_EQ(job.status, PICTURE_FAILED);
  EXPECT_EQ(job.messages, "OpenEXR picture: this halvpack was built without OpenEXR and cannot read it\n");
  job.view = VIEW_RIGHT;
  job.other = "";
  ProcessImage(&job);
  EXPECT_EQ(job.status, PICTURE_FAILED);
  EXPECT_EQ(job.shown, "");
  EXPECT_EQ(job.messages, "");
  unlink(name);
}

}  // namespace
