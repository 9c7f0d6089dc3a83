// Media-layer set-up for the players, with the real SDL2 and its headless drivers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "foundation/Bindings.h"
#include "foundation/FFLoader.h"
#include "foundation/api/sdl2.h"
#include "player/SDLLoader.h"

using namespace corvane;
using ::testing::Contains;

namespace {

class SDLLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FFLoader().Load(kPlayerLibraries)) << FFLoader().LastErrMsg();
  }
  void TearDown() override {
    SDLLoader().QuitAll();
    FFLoader().UnloadAll();
  }
  static bool sdlRunning() { return sdl::SDL_WasInit(0) != 0; }

  int first_ = 0, second_ = 0;  // client identities
};

TEST_F(SDLLoaderTest, ListsTheHeadlessDrivers) {
  EXPECT_THAT(SDLLoader().AudioDrivers(), Contains("dummy"));
  EXPECT_THAT(SDLLoader().AudioDrivers(), Contains("disk"));
  EXPECT_THAT(SDLLoader().VideoDrivers(), Contains("dummy"));
  const SDL_version v = SDLLoader().SDLVersion();
  EXPECT_EQ(v.major, SDL_MAJOR_VERSION);
}

TEST_F(SDLLoaderTest, SecondClientKeepsSDLUntilItLeaves) {
  ASSERT_TRUE(SDLLoader().Init(&first_, "dummy", "dummy", true)) << SDLLoader().LastErrMsg();
  EXPECT_EQ(sdl::SDL_WasInit(SDL_INIT_AUDIO | SDL_INIT_VIDEO | SDL_INIT_TIMER),
            SDL_INIT_AUDIO | SDL_INIT_VIDEO | SDL_INIT_TIMER);
  EXPECT_EQ(SDLLoader().CurrentAudioDriver(), "dummy");
  EXPECT_EQ(SDLLoader().CurrentVideoDriver(), "dummy");
  EXPECT_STREQ(sdl::SDL_GetHint(SDL_HINT_NO_SIGNAL_HANDLERS), "1");
  EXPECT_EQ(sdl::SDL_EventState(SDL_MOUSEMOTION, SDL_QUERY), SDL_IGNORE);

  // The second client joins, whatever drivers it asks for.
  EXPECT_TRUE(SDLLoader().WasInit(&second_));
  EXPECT_TRUE(SDLLoader().Init(&second_, "nosuch", "", true));
  EXPECT_EQ(SDLLoader().ClientCount(), 2);

  SDLLoader().Quit(&first_);
  EXPECT_TRUE(sdlRunning()) << "the second client still uses SDL";
  SDLLoader().Quit(&first_);  // leaving twice changes nothing
  EXPECT_TRUE(sdlRunning());
  SDLLoader().Quit(&second_);
  EXPECT_FALSE(sdlRunning());
  EXPECT_EQ(SDLLoader().CurrentAudioDriver(), "");
  EXPECT_FALSE(SDLLoader().WasInit(&first_)) << "nobody is a client once SDL quit";
}

TEST_F(SDLLoaderTest, UnknownDriversLeaveSDLUninitialised) {
  struct Case {
    const char* audio;
    const char* video;
    const char* message;
  };
  const Case cases[] = {
      {"nosuch", "dummy", "Audio driver \"nosuch\" not available"},
      {"dummy", "nosuch", "Video driver \"nosuch\" not available"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(SDLLoader().Init(&first_, c.audio, c.video, true));
    EXPECT_EQ(SDLLoader().LastErrMsg(), c.message);
    EXPECT_FALSE(sdlRunning());
    EXPECT_EQ(SDLLoader().ClientCount(), 0);
  }
}

// A driver named by the player wins over the environment variable.
TEST_F(SDLLoaderTest, ChosenDriverOverridesEnvironment) {
  ASSERT_EQ(::setenv("SDL_AUDIODRIVER", "nosuch", 1), 0);
  const bool ok = SDLLoader().Init(&first_, "dummy", "dummy", true);
  ::unsetenv("SDL_AUDIODRIVER");
  ASSERT_TRUE(ok) << SDLLoader().LastErrMsg();
  EXPECT_EQ(SDLLoader().CurrentAudioDriver(), "dummy");
  EXPECT_THAT(SDLLoader().AudioDevices(), ::testing::Not(::testing::IsEmpty()));
}

TEST_F(SDLLoaderTest, UnbindingQuitsAndEmptiesTheLists) {
  ASSERT_TRUE(SDLLoader().Init(&first_, "dummy", "dummy", true));
  FFLoader().UnloadAll();
  EXPECT_EQ(SDLLoader().ClientCount(), 0);
  EXPECT_TRUE(SDLLoader().AudioDrivers().empty());
  EXPECT_TRUE(SDLLoader().VideoDrivers().empty());
  EXPECT_EQ(SDLLoader().SDLVersion().major, 0);
  EXPECT_FALSE(SDLLoader().Init(&first_, "dummy", "dummy", true));
  EXPECT_EQ(SDLLoader().LastErrMsg(), "SDL2 not loaded.");

  ASSERT_TRUE(FFLoader().Load(kPlayerLibraries));
  EXPECT_THAT(SDLLoader().AudioDrivers(), Contains("dummy")) << "lists refreshed on binding";
  EXPECT_TRUE(SDLLoader().Init(&first_, "dummy", "dummy", true)) << SDLLoader().LastErrMsg();
}

TEST(TempoProcessor, UsableByVersionAndChannels) {
  struct Case {
    bool use;
    int version;
    int channels;
    bool usable;
  };
  const Case cases[] = {
      {true, 20302, 6, true},  {true, 10900, 6, true},   {true, 10800, 6, true},
      {true, 10799, 6, false}, {true, 10799, 2, true},   {true, 10000, 1, true},
      {true, 9999, 2, false},  {false, 20302, 2, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TempoProcessorUsable(c.use, c.version, c.channels), c.usable)
        << c.version << " " << c.channels;
}

TEST(TempoProcessor, FollowsTheBoundLibrary) {
  EXPECT_FALSE(TempoProcessorUsable(true, 2));
  ASSERT_TRUE(FFLoader().Load(libSoundTouch)) << FFLoader().LastErrMsg();
  EXPECT_GE(soundTouchVersionId(), 10000);
  EXPECT_TRUE(TempoProcessorUsable(true, 2));
  FFLoader().Unload(libSoundTouch);
  EXPECT_FALSE(TempoProcessorUsable(true, 2));
}

}  // namespace
