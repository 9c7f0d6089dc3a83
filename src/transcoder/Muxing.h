// Pure steps of packet muxing, shared by the muxer and its tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/defs.h>
}

namespace corvane {

// Video sync method that drops every timestamp.
constexpr int kVSyncDrop = 0xff;

// The encoder's quality statistics side data (sd may be null): quality, picture
// type and the error sums it carries; only bytes within size are read.
void ReadQualityStats(const std::uint8_t* sd, std::size_t size, int& quality, int& pict_type,
                      std::array<std::int64_t, 4>& error);

// The timestamp for a packet whose DTS lies after its PTS: the median of
// PTS, DTS and the previous DTS + 1 (the smaller of the two without one).
std::int64_t GuessInvalidDts(std::int64_t pts, std::int64_t dts, std::int64_t last_mux_dts);

// Bytes a queued packet is charged beyond its payload: the packet, its
// buffer reference and the buffer's padding.
constexpr std::size_t kQueuedPacketOverhead = 256 + AV_INPUT_BUFFER_PADDING_SIZE;

// What a packet of payload bytes costs the muxing queue's byte budget.
std::size_t QueuedPacketCharge(int payload);

// Whether a stream's muxing queue must refuse one more packet: it may grow
// freely until the queued bytes pass data_threshold, then up to max_packets.
bool MuxingQueueFull(std::size_t queued, std::size_t queued_bytes, std::size_t packet_bytes,
                     std::size_t data_threshold, int max_packets);

}  // namespace corvane
