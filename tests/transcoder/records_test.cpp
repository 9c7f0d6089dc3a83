// The engine's records and shared helpers.
#include <gtest/gtest.h>

#include "support/TranscoderRig.h"

using namespace corvane;

namespace {

class RecordsTest : public testrig::TranscoderTest {};

TEST_F(RecordsTest, FatalStoresTheTextAndThrows) {
  try {
    engine_->Fatal("Unknown %s \"%s\"", "encoder", "x");
    FAIL() << "no exception";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Unknown encoder \"x\"");
  }
  EXPECT_EQ(engine_->FLastErrMsg, "Unknown encoder \"x\"");
}

TEST_F(RecordsTest, PerFileDefaults) {
  auto o = engine_->NewPerFileOptions();
  EXPECT_EQ(o->group, &engine_->FOptions.OptionParseContext().file_opts);
  EXPECT_EQ(o->start_time, AV_NOPTS_VALUE);
  EXPECT_EQ(o->recording_time, INT64_MAX);
  EXPECT_EQ(o->chapters_input_file, INT_MAX);
  EXPECT_FLOAT_EQ(o->mux_max_delay, 0.7f);
  EXPECT_EQ(o->accurate_seek, 1);
  EXPECT_EQ(o->thread_queue_size, -1);
  engine_->ReleasePerFileOptions(std::move(o));
}

}  // namespace
