# Corvane: `make run` builds and runs the main program, `make test` builds and
# passes the tests, `make bench` runs the benchmarks. Each installs what is missing.

JOBS    ?= 2
CMAKE   ?= cmake
REL     := build/rel
ASAN    := build/asan
TSAN    := build/tsan
MEDIA   := build/media
CONFIG  := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps run test test-asan test-tsan bench media fuzz clean

all: run

deps:
	@scripts/install-deps

$(REL)/build.ninja: | deps
	$(CMAKE) -S . -B $(REL) $(CONFIG) -DCORVANE_BUILD_TESTS=OFF >/dev/null

$(ASAN)/build.ninja: | deps
	$(CMAKE) -S . -B $(ASAN) $(CONFIG) -DCORVANE_SANITIZE=ON -DCORVANE_BUILD_BENCH=OFF >/dev/null

$(TSAN)/build.ninja: | deps
	$(CMAKE) -S . -B $(TSAN) $(CONFIG) -DCORVANE_TSAN=ON -DCORVANE_BUILD_BENCH=OFF >/dev/null

# Library versions and a generated sample clip described by the probe; the
# clip is played headless with recording on (SDL's dummy audio driver when
# there is no sound device) and the recording probed; then, with a display,
# the demo window plays the clip.
SAMPLE  := $(REL)/sample/h264_aac.mp4
RECORDED := $(REL)/sample/h264_aac_(new).mp4
NOSOUND  = $$(ls /dev/snd/pcm* >/dev/null 2>&1 || echo dummy)
run: deps $(REL)/build.ninja
	$(CMAKE) --build $(REL) -j $(JOBS) --target corvane-libinfo corvane-testmedia corvane-probe corvane-play \
	  corvane-transcode \
	  $(if $(DISPLAY),corvane)
	$(REL)/tools/corvane-libinfo
	$(REL)/tools/corvane-testmedia $(REL)/sample mp4-h264-aac >/dev/null
	$(REL)/tools/corvane-probe $(SAMPLE)
	$(REL)/tools/corvane-transcode -hide_banner -nostdin -nostats -y -i $(SAMPLE) \
	  -vf scale=320:-2 -c:v mpeg4 -q:v 4 -c:a mp2 $(REL)/sample/transcoded.mkv
	$(REL)/tools/corvane-probe $(REL)/sample/transcoded.mkv
	rm -f $(REL)/sample/h264_aac_\(new*\).mp4
	d=$(NOSOUND); $(REL)/tools/corvane-play --events --record $${d:+--audio-driver $$d} --video-driver dummy \
	  $(SAMPLE) >$(REL)/sample/play.log; s=$$?; grep -v '^position ' $(REL)/sample/play.log; exit $$s
	$(REL)/tools/corvane-probe '$(RECORDED)'
ifneq ($(DISPLAY),)
	d=$(NOSOUND); SDL_AUDIODRIVER=$${d:-$$SDL_AUDIODRIVER} $(REL)/app/corvane $(SAMPLE)
endif

test: test-asan test-tsan

test-asan: deps $(ASAN)/build.ninja
	$(CMAKE) --build $(ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --test-dir $(ASAN) -j $(JOBS) --output-on-failure

# Tests where threads meet, under ThreadSanitizer.
test-tsan: deps $(TSAN)/build.ninja
	$(CMAKE) --build $(TSAN) -j $(JOBS) --target corvane_tests corvane_transcoder_tests \
	  corvane_recording_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN) -j $(JOBS) --output-on-failure

# The benchmark that draws into a window runs on a virtual X server of its own.
XVFB    := xvfb-run -a -s "-screen 0 1280x1024x24"
bench: deps $(REL)/build.ninja
	$(CMAKE) -S . -B $(REL) -DCORVANE_BUILD_BENCH=ON >/dev/null
	$(CMAKE) --build $(REL) -j $(JOBS) --target corvane_bench
	$(REL)/bench/corvane_bench --benchmark_filter=-BM_PlayerScreen
	$(XVFB) $(REL)/bench/corvane_bench --benchmark_filter=BM_PlayerScreen

# Every kind of test media, written anew into build/media.
media: deps $(REL)/build.ninja
	$(CMAKE) --build $(REL) -j $(JOBS) --target corvane-testmedia
	$(REL)/tools/corvane-testmedia $(MEDIA)

# Arbitrary bytes through the decoder component (libFuzzer, not part of CI).
FUZZ         := build/fuzz
FUZZ_SECONDS ?= 300
fuzz: deps
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(FUZZ) $(CONFIG) -DCORVANE_FUZZ=ON \
	  -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF >/dev/null
	$(CMAKE) --build $(FUZZ) -j $(JOBS) --target corvane_decoder_fuzz corvane-testmedia
	mkdir -p $(FUZZ)/corpus $(FUZZ)/seeds
	$(FUZZ)/tools/corvane-testmedia $(FUZZ)/seeds wav flac png mkv-mpeg4-vorbis-srt ts-two-programs \
	  numbered truncated-mp4 random-bytes-mp4 >/dev/null
	ASAN_OPTIONS=detect_leaks=1 $(FUZZ)/tests/fuzz/corvane_decoder_fuzz $(FUZZ)/corpus $(FUZZ)/seeds \
	  -max_total_time=$(FUZZ_SECONDS) -max_len=262144 -timeout=30 -rss_limit_mb=4096

clean:
	rm -rf build
