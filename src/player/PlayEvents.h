// The play thread's request queue and the play-event ring that feeds the
// application's position and state events.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace corvane {

class TVideoState;

enum TPlayState { psPlay, psPause, psResume, psStep, psStop, psEnd };

// Requests to the play thread.
enum TPlayRequest : std::uint32_t {
  FF_QUIT_EVENT = 256,        // the media layer quits
  FF_WINDOW_EVENT = 512,      // resize or expose of the player's window
  FF_USER_EVENT = 0x8000,     // the player's own hook
  FF_STOP_EVENT = 0x8002,     // close the state
  FF_REFRESH_EVENT = 0x8003,  // redraw
  FF_REDRAW_EVENT = 0x8004,
  FF_REPEAT_EVENT = 0x8005,  // run the repeat action on the play thread
};

struct TPlayRecord {
  std::uint32_t type = 0;
  TVideoState* state = nullptr;
  int event = 0, data1 = 0, data2 = 0;  // window events
};

// A ring of 128 requests; pushing into a full ring drops the oldest.
class TEventQueue {
 public:
  static constexpr int kSlots = 128;
  void Push(const TPlayRecord& r);
  bool Popup(TPlayRecord& r);
  void Reset();
  // Waits up to the timeout for a request.
  bool Wait(double seconds);

 private:
  std::mutex FLock;
  std::condition_variable FEvent;
  int FHeader = 0, FCount = 0;
  std::array<TPlayRecord, kSlots> FList{};
};

struct TPlayEvent {
  int type = 0;  // 1 position, 2 play state, 3 end of delivery, 4 error
  std::int64_t data1 = 0, data2 = 0;
  std::string text;  // of an error
};

// Ten records; a position replaces a position written just before it, every
// state record is kept (the oldest record is lost when the ring is full).
class TPlayEventRing {
 public:
  static constexpr int kSlots = 10;
  void Post(const TPlayEvent& e);
  bool Take(TPlayEvent& e);
  void Reset();
  // Waits up to the timeout for a record; true when one may be there.
  bool Wait(double seconds);

 private:
  std::mutex FLock;
  std::condition_variable FSignal;
  bool FSignalled = false;
  int FRead = 0, FCount = 0;
  std::array<TPlayEvent, kSlots> FList{};
};

}  // namespace corvane
