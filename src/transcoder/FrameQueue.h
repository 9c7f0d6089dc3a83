// Limits of the frames a filter input holds back until its graph is configured.
#pragma once

#include <cstddef>

extern "C" {
#include <libavutil/frame.h>
}

namespace corvane {

constexpr std::size_t kMaxQueuedFrames = 512;
constexpr std::size_t kMaxQueuedFrameBytes = std::size_t{256} << 20;

// Bytes of the buffers a frame references (0 for an empty frame).
std::size_t FrameBufferBytes(const AVFrame* frame);

// Whether a queue of count frames holding bytes must refuse a frame of next_bytes.
bool FrameQueueFull(std::size_t count, std::size_t bytes, std::size_t next_bytes);

}  // namespace corvane
