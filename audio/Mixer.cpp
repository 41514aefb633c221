// The call's level controls on the sound server.
//
// One connection on a threaded main loop, as for playback and capture: every
// libpulse call and the server-side state below are used under the loop's
// lock. The levels themselves sit in a small cache with a lock of its own,
// always taken after the loop's, so that readers on any thread (the change
// callback included) never wait on the loop. The loop thread holds the loop's
// lock while it dispatches, so calls made from it (the change callback) must
// not take it again: LoopLock sees to that.
//
// Our own volume writes race with readings the server already has on their
// way: a reading that arrives while a write of ours is unanswered predates it
// (the server answers in order) and is dropped, and once the last write is
// answered the line is read afresh.
#include "audio/Mixer.h"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "audio/SoundBackend.h"

namespace dialvo {

namespace {

constexpr uint32_t kNorm = PA_VOLUME_NORM;
constexpr uint32_t kNoIndex = PA_INVALID_INDEX;
constexpr size_t kLineCount = 3;
// The automatic settings raise a microphone below this (in steps of 256) ...
constexpr uint32_t kQuietMicrophone = 32;
// ... to this level.
constexpr uint32_t kRaisedMicrophone = 128 * 256;

size_t Slot(MixerLine line) { return static_cast<size_t>(line); }

// Every channel of a line moves alike, so the loudest one stands for it.
uint32_t LineLevel(const pa_cvolume& volume) { return LevelFromPulse(pa_cvolume_max(&volume)); }

pa_cvolume Volume(uint8_t channels, uint32_t level) {
  pa_cvolume volume{};
  pa_cvolume_set(&volume, std::clamp<unsigned>(channels, 1, PA_CHANNELS_MAX),
                 PulseFromLevel(level));
  return volume;
}

// Takes the loop's lock unless the caller is the loop thread, which holds it
// already while it dispatches.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop)
      : loop_(pa_threaded_mainloop_in_thread(loop) != 0 ? nullptr : loop) {
    if (loop_ != nullptr) pa_threaded_mainloop_lock(loop_);
  }
  ~LoopLock() {
    if (loop_ != nullptr) pa_threaded_mainloop_unlock(loop_);
  }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;
  bool OnLoopThread() const { return loop_ == nullptr; }

 private:
  pa_threaded_mainloop* loop_;
};

}  // namespace

uint32_t LevelFromPulse(uint32_t paVolume) {
  if (paVolume >= kNorm) return kMaxMixerLevel;
  return static_cast<uint32_t>((uint64_t{paVolume} * kMaxMixerLevel + kNorm / 2) / kNorm);
}

uint32_t PulseFromLevel(uint32_t level) {
  level = std::min(level, kMaxMixerLevel);
  return static_cast<uint32_t>((uint64_t{level} * kNorm + kMaxMixerLevel / 2) / kMaxMixerLevel);
}

uint32_t LevelFromPosition(int position) {
  return static_cast<uint32_t>(255 - std::clamp(position, 0, 255)) * 256;
}

int PositionFromLevel(uint32_t level) {
  return 255 - static_cast<int>(std::min<uint32_t>(level / 256, 255));
}

class Mixer::Impl {
 public:
  explicit Impl(const MixerOptions& options)
      : timeoutMs_(options.connectTimeoutMs),
        ownProcess_(std::to_string(options.ownProcessId != 0 ? options.ownProcessId
                                                             : static_cast<uint32_t>(getpid()))) {
    lines_[Slot(MixerLine::kSpeaker)] = {true, kMaxMixerLevel, false};
    reported_[Slot(MixerLine::kSpeaker)] = {true, kMaxMixerLevel};
  }
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  bool Connect(const std::string& server, std::string* error);
  bool Available(MixerLine line) const;
  std::optional<uint32_t> Level(MixerLine line) const;
  void SetLevel(MixerLine line, uint32_t level);
  void SetChangeCallback(std::function<void(MixerLine, uint32_t)> callback);
  AutoReport ApplyAutomaticSettings();
  bool RaiseQuietMicrophone(uint32_t below);

 private:
  // The default sink or source as last read.
  struct Device {
    std::string name;
    uint32_t index = kNoIndex;
    uint8_t channels = 1;
  };
  struct CachedLine {
    bool available = false;
    uint32_t level = 0;
    bool force = false;  // report it even if unchanged (the default device changed)
  };
  struct ReportedLine {
    bool available = false;
    uint32_t level = 0;
  };
  // A source as the automatic settings see it.
  struct SourceEntry {
    std::string name;
    uint32_t index = kNoIndex;
    bool monitor = false;
    bool muted = false;
    uint32_t level = 0;
    uint8_t channels = 1;
  };
  struct Scan {
    Impl* impl = nullptr;
    std::optional<SourceEntry> current;  // the default source
    std::vector<SourceEntry> sources;
    std::vector<uint32_t> mutedStreams;  // ours
  };

  // Ends a blocking wait when it runs out. Made and freed under the loop's
  // lock.
  class Deadline {
   public:
    Deadline(Impl& impl, uint32_t ms) : impl_(impl) {
      timer_ = pa_context_rttime_new(impl.context_, pa_rtclock_now() + ms * PA_USEC_PER_MSEC,
                                     &Deadline::OnTimer, this);
    }
    ~Deadline() {
      if (timer_ != nullptr) pa_threaded_mainloop_get_api(impl_.loop_)->time_free(timer_);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    bool Expired() const { return expired_ || timer_ == nullptr; }

   private:
    static void OnTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
      auto* deadline = static_cast<Deadline*>(self);
      deadline->expired_ = true;
      pa_threaded_mainloop_signal(deadline->impl_.loop_, 0);
    }
    Impl& impl_;
    pa_time_event* timer_ = nullptr;
    bool expired_ = false;
  };

  // Operations one blocking call waits for. Those still running when it gives
  // up are cancelled, so no callback outlives the results the call owns.
  class Batch {
   public:
    struct Outcome {
      Impl* impl = nullptr;
      bool ok = false;
    };
    explicit Batch(Impl& impl) : impl_(impl) {}
    ~Batch() {
      for (pa_operation* op : ops_) {
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
        pa_operation_unref(op);
      }
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    void Track(pa_operation* op) {
      if (op != nullptr) ops_.push_back(op);
    }
    // start(callback, userdata) begins a write; the outcome says whether the
    // server did it.
    template <typename Start>
    const Outcome* Write(Start start) {
      Outcome& outcome = outcomes_.emplace_back();
      outcome.impl = &impl_;
      Track(start(&Batch::OnDone, &outcome));
      return &outcome;
    }
    bool Done() const {
      return std::none_of(ops_.begin(), ops_.end(), [](pa_operation* op) {
        return pa_operation_get_state(op) == PA_OPERATION_RUNNING;
      });
    }

   private:
    static void OnDone(pa_context*, int success, void* data) {
      auto* outcome = static_cast<Outcome*>(data);
      outcome->ok = success != 0;
      pa_threaded_mainloop_signal(outcome->impl->loop_, 0);
    }
    Impl& impl_;
    std::vector<pa_operation*> ops_;
    std::deque<Outcome> outcomes_;  // stable addresses for the callbacks
  };

  template <typename Pred>
  bool WaitUntil(Pred done, const Deadline& deadline) {
    for (;;) {
      if (done()) return true;
      if (deadline.Expired() || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return false;
      pa_threaded_mainloop_wait(loop_);
    }
  }
  bool Ready() const {
    return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
  }

  // Reads, answered on the loop thread; inflight_ counts them.
  void Query(pa_operation* op) {
    if (op == nullptr) return;
    ++inflight_;
    pa_operation_unref(op);
  }
  void QuerySink() {
    Query(pa_context_get_sink_info_by_name(context_, "@DEFAULT_SINK@", &Impl::OnSinkInfo, this));
  }
  void QuerySource() {
    Query(pa_context_get_source_info_by_name(context_, "@DEFAULT_SOURCE@", &Impl::OnSourceInfo,
                                             this));
  }
  void QueryStream(uint32_t index) {
    Query(pa_context_get_sink_input_info(context_, index, &Impl::OnStreamInfo, this));
  }
  void Answered() {
    --inflight_;
    pa_threaded_mainloop_signal(loop_, 0);
    Publish();
  }

  // Writes, counted per line until the server answers them.
  void Wrote(MixerLine line, pa_operation* op) {
    if (op == nullptr) return;
    ++pending_[Slot(line)];
    pa_operation_unref(op);
  }
  void WriteLevel(MixerLine line, uint32_t level);
  void WriteStream(uint32_t index, uint8_t channels, uint32_t level) {
    const pa_cvolume volume = Volume(channels, level);
    Wrote(MixerLine::kSpeaker, pa_context_set_sink_input_volume(context_, index, &volume,
                                                                &Impl::OnSpeakerWritten, this));
  }
  void WriteAnswered(MixerLine line);
  bool RaiseQuietMicrophoneLocked(uint32_t below);

  void DeviceSeen(MixerLine line, Device& device, const char* name, uint32_t index,
                  const pa_cvolume& volume);
  void DeviceGone(MixerLine line, Device& device);
  void StreamSeen(const pa_sink_input_info& info, bool adopt);
  bool Ours(const pa_proplist* props) const {
    const char* pid = pa_proplist_gets(props, PA_PROP_APPLICATION_PROCESS_ID);
    return pid != nullptr && ownProcess_ == pid;
  }
  void Event(pa_subscription_event_type_t type, uint32_t index);
  void ContextChanged();

  // The cache.
  void Store(MixerLine line, bool available, uint32_t level, bool force);
  uint32_t SpeakerLevel() const {
    std::lock_guard lock(cacheMutex_);
    return lines_[Slot(MixerLine::kSpeaker)].level;
  }
  // Reports what changed since the last report. Loop thread only.
  void Publish();

  static void OnContextState(pa_context*, void* self) {
    static_cast<Impl*>(self)->ContextChanged();
  }
  static void OnEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self) {
    static_cast<Impl*>(self)->Event(type, index);
  }
  static void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data);
  static void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* data);
  static void OnStreamInfo(pa_context*, const pa_sink_input_info* info, int eol, void* data);
  static void OnListedStream(pa_context*, const pa_sink_input_info* info, int eol, void* data);
  static void OnMasterWritten(pa_context*, int, void* self) {
    static_cast<Impl*>(self)->WriteAnswered(MixerLine::kMaster);
  }
  static void OnMicrophoneWritten(pa_context*, int, void* self) {
    static_cast<Impl*>(self)->WriteAnswered(MixerLine::kMicrophone);
  }
  static void OnSpeakerWritten(pa_context*, int, void* self) {
    static_cast<Impl*>(self)->WriteAnswered(MixerLine::kSpeaker);
  }
  static void OnPublish(pa_mainloop_api*, void* self) { static_cast<Impl*>(self)->Publish(); }
  static void OnScanDefault(pa_context*, const pa_source_info* info, int eol, void* data);
  static void OnScanSource(pa_context*, const pa_source_info* info, int eol, void* data);
  static void OnScanStream(pa_context*, const pa_sink_input_info* info, int eol, void* data);
  static SourceEntry Entry(const pa_source_info& info) {
    return {info.name,
            info.index,
            info.monitor_of_sink != kNoIndex,
            info.mute != 0,
            LineLevel(info.volume),
            info.volume.channels};
  }

  const uint32_t timeoutMs_;
  const std::string ownProcess_;  // application.process.id of our streams
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;

  // Under the loop's lock.
  Device sink_;
  Device source_;
  std::map<uint32_t, uint8_t> ourStreams_;  // index -> channels
  std::array<int, kLineCount> pending_{};   // our writes not yet answered
  int inflight_ = 0;                        // reads not yet answered

  // The cache, under cacheMutex_ (taken after the loop's lock, never before).
  mutable std::mutex cacheMutex_;
  std::array<CachedLine, kLineCount> lines_{};
  std::array<ReportedLine, kLineCount> reported_{};
  std::function<void(MixerLine, uint32_t)> callback_;
  bool closing_ = false;
};

Mixer::Impl::~Impl() {
  {
    std::lock_guard lock(cacheMutex_);
    closing_ = true;
    callback_ = nullptr;
  }
  if (loop_ == nullptr) return;
  {
    LoopLock lock(loop_);
    if (context_ != nullptr) {
      pa_context_set_subscribe_callback(context_, nullptr, nullptr);
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
  }
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

bool Mixer::Impl::Connect(const std::string& server, std::string* error) {
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr) {
    *error = "PulseAudio mixer: cannot create a main loop";
    return false;
  }
  context_ =
      pa_context_new(pa_threaded_mainloop_get_api(loop_), (ProgramName() + " mixer").c_str());
  if (context_ == nullptr) {
    *error = "PulseAudio mixer: cannot create a context";
    return false;
  }
  pa_context_set_state_callback(context_, &Impl::OnContextState, this);

  LoopLock lock(loop_);
  const auto failed = [&](const Deadline& deadline) {
    if (deadline.Expired()) {
      *error = "PulseAudio mixer: no answer from the sound server within " +
               std::to_string(timeoutMs_) + " ms";
    } else {
      *error = std::string("PulseAudio mixer: cannot connect to the sound server: ") +
               pa_strerror(pa_context_errno(context_));
    }
    return false;
  };
  // Never start a server of our own: a missing one means no mixer.
  if (pa_context_connect(context_, server.empty() ? nullptr : server.c_str(),
                         PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    *error = std::string("PulseAudio mixer: cannot connect to the sound server: ") +
             pa_strerror(pa_context_errno(context_));
    return false;
  }
  const Deadline deadline(*this, timeoutMs_);
  if (pa_threaded_mainloop_start(loop_) < 0) {
    *error = "PulseAudio mixer: cannot start the main loop";
    return false;
  }
  if (!WaitUntil([&] { return Ready(); }, deadline)) return failed(deadline);

  pa_context_set_subscribe_callback(context_, &Impl::OnEvent, this);
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK_INPUT |
      PA_SUBSCRIPTION_MASK_SERVER);
  if (pa_operation* op = pa_context_subscribe(context_, mask, nullptr, nullptr)) {
    pa_operation_unref(op);
  }
  QuerySink();
  QuerySource();
  Query(pa_context_get_sink_input_info_list(context_, &Impl::OnListedStream, this));
  if (!WaitUntil([&] { return inflight_ == 0; }, deadline)) return failed(deadline);
  return true;
}

void Mixer::Impl::ContextChanged() {
  pa_threaded_mainloop_signal(loop_, 0);
  if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return;
  // The server went away: nothing of it can be read or set any more.
  DeviceGone(MixerLine::kMaster, sink_);
  DeviceGone(MixerLine::kMicrophone, source_);
  ourStreams_.clear();
  Publish();
}

void Mixer::Impl::Event(pa_subscription_event_type_t type, uint32_t index) {
  const unsigned facility = static_cast<unsigned>(type) & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const unsigned kind = static_cast<unsigned>(type) & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SINK:
      if (index == sink_.index || sink_.index == kNoIndex) QuerySink();
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
      if (index == source_.index || source_.index == kNoIndex) QuerySource();
      break;
    case PA_SUBSCRIPTION_EVENT_SERVER:  // the defaults may have changed
      QuerySink();
      QuerySource();
      break;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        ourStreams_.erase(index);
      } else {
        QueryStream(index);
      }
      break;
    default:
      break;
  }
}

void Mixer::Impl::DeviceSeen(MixerLine line, Device& device, const char* name, uint32_t index,
                             const pa_cvolume& volume) {
  const bool switched = device.name != name;
  device.name = name;
  device.index = index;
  device.channels = volume.channels;
  // A reading of the same device from before a write of ours is stale.
  if (!switched && pending_[Slot(line)] > 0) return;
  Store(line, true, LineLevel(volume), switched);
}

void Mixer::Impl::DeviceGone(MixerLine line, Device& device) {
  const bool had = device.index != kNoIndex;
  device = Device{};
  Store(line, false, 0, had);
}

void Mixer::Impl::OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
  auto* self = static_cast<Impl*>(data);
  if (info != nullptr) {
    self->DeviceSeen(MixerLine::kMaster, self->sink_, info->name, info->index, info->volume);
  } else if (eol < 0) {
    self->DeviceGone(MixerLine::kMaster, self->sink_);
  }
  if (eol != 0) self->Answered();
}

void Mixer::Impl::OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* data) {
  auto* self = static_cast<Impl*>(data);
  if (info != nullptr) {
    self->DeviceSeen(MixerLine::kMicrophone, self->source_, info->name, info->index, info->volume);
  } else if (eol < 0) {
    self->DeviceGone(MixerLine::kMicrophone, self->source_);
  }
  if (eol != 0) self->Answered();
}

// adopt: a stream that was there before we connected gives the speaker line
// its level; one that starts later gets the line's level.
void Mixer::Impl::StreamSeen(const pa_sink_input_info& info, bool adopt) {
  if (!Ours(info.proplist)) return;
  const bool known = ourStreams_.contains(info.index);
  ourStreams_[info.index] = info.volume.channels;
  const uint32_t level = LineLevel(info.volume);
  if (!known && !adopt) {
    const uint32_t wanted = SpeakerLevel();
    if (level != wanted) WriteStream(info.index, info.volume.channels, wanted);
    return;
  }
  if (pending_[Slot(MixerLine::kSpeaker)] > 0) return;
  Store(MixerLine::kSpeaker, true, level, false);
}

void Mixer::Impl::OnStreamInfo(pa_context*, const pa_sink_input_info* info, int eol, void* data) {
  auto* self = static_cast<Impl*>(data);
  if (info != nullptr) self->StreamSeen(*info, false);
  if (eol != 0) self->Answered();
}

void Mixer::Impl::OnListedStream(pa_context*, const pa_sink_input_info* info, int eol, void* data) {
  auto* self = static_cast<Impl*>(data);
  if (info != nullptr) self->StreamSeen(*info, true);
  if (eol != 0) self->Answered();
}

void Mixer::Impl::WriteLevel(MixerLine line, uint32_t level) {
  switch (line) {
    case MixerLine::kMaster: {
      if (sink_.index == kNoIndex) return;
      const pa_cvolume volume = Volume(sink_.channels, level);
      Wrote(line, pa_context_set_sink_volume_by_index(context_, sink_.index, &volume,
                                                      &Impl::OnMasterWritten, this));
      break;
    }
    case MixerLine::kMicrophone: {
      if (source_.index == kNoIndex) return;
      const pa_cvolume volume = Volume(source_.channels, level);
      Wrote(line, pa_context_set_source_volume_by_index(context_, source_.index, &volume,
                                                        &Impl::OnMicrophoneWritten, this));
      break;
    }
    case MixerLine::kSpeaker:
      for (const auto& [index, channels] : ourStreams_) WriteStream(index, channels, level);
      break;
  }
  Store(line, true, level, false);
  // The change callback runs on the loop thread, and never inside a call to us.
  pa_mainloop_api_once(pa_threaded_mainloop_get_api(loop_), &Impl::OnPublish, this);
}

void Mixer::Impl::WriteAnswered(MixerLine line) {
  if (--pending_[Slot(line)] > 0) return;
  // Whatever arrived meanwhile was dropped; read the line as it now is.
  switch (line) {
    case MixerLine::kMaster:
      QuerySink();
      break;
    case MixerLine::kMicrophone:
      QuerySource();
      break;
    case MixerLine::kSpeaker:
      for (const auto& stream : ourStreams_) QueryStream(stream.first);
      break;
  }
}

void Mixer::Impl::Store(MixerLine line, bool available, uint32_t level, bool force) {
  std::lock_guard lock(cacheMutex_);
  CachedLine& cached = lines_[Slot(line)];
  cached.available = available;
  cached.level = available ? level : 0;
  cached.force = cached.force || force;
}

void Mixer::Impl::Publish() {
  std::vector<std::pair<MixerLine, uint32_t>> changes;
  std::function<void(MixerLine, uint32_t)> callback;
  {
    std::lock_guard lock(cacheMutex_);
    if (closing_) return;
    for (MixerLine line : {MixerLine::kMaster, MixerLine::kSpeaker, MixerLine::kMicrophone}) {
      CachedLine& cached = lines_[Slot(line)];
      ReportedLine& reported = reported_[Slot(line)];
      if (!cached.force && cached.available == reported.available &&
          cached.level == reported.level) {
        continue;
      }
      cached.force = false;
      reported = {cached.available, cached.level};
      changes.emplace_back(line, cached.level);
    }
    callback = callback_;
  }
  if (!callback) return;
  for (const auto& [line, level] : changes) callback(line, level);
}

bool Mixer::Impl::Available(MixerLine line) const {
  std::lock_guard lock(cacheMutex_);
  return lines_[Slot(line)].available;
}

std::optional<uint32_t> Mixer::Impl::Level(MixerLine line) const {
  std::lock_guard lock(cacheMutex_);
  const CachedLine& cached = lines_[Slot(line)];
  if (!cached.available) return std::nullopt;
  return cached.level;
}

void Mixer::Impl::SetLevel(MixerLine line, uint32_t level) {
  LoopLock lock(loop_);
  WriteLevel(line, std::min(level, kMaxMixerLevel));
}

void Mixer::Impl::SetChangeCallback(std::function<void(MixerLine, uint32_t)> callback) {
  std::lock_guard lock(cacheMutex_);
  if (!closing_) callback_ = std::move(callback);
}

bool Mixer::Impl::RaiseQuietMicrophoneLocked(uint32_t below) {
  std::optional<uint32_t> level = Level(MixerLine::kMicrophone);
  if (!level || source_.index == kNoIndex || *level / 256 >= below) return false;
  WriteLevel(MixerLine::kMicrophone, kRaisedMicrophone);
  return true;
}

bool Mixer::Impl::RaiseQuietMicrophone(uint32_t below) {
  LoopLock lock(loop_);
  return RaiseQuietMicrophoneLocked(below);
}

void Mixer::Impl::OnScanDefault(pa_context*, const pa_source_info* info, int eol, void* data) {
  auto* scan = static_cast<Scan*>(data);
  if (info != nullptr) scan->current = Entry(*info);
  if (eol != 0) pa_threaded_mainloop_signal(scan->impl->loop_, 0);
}

void Mixer::Impl::OnScanSource(pa_context*, const pa_source_info* info, int eol, void* data) {
  auto* scan = static_cast<Scan*>(data);
  if (info != nullptr) scan->sources.push_back(Entry(*info));
  if (eol != 0) pa_threaded_mainloop_signal(scan->impl->loop_, 0);
}

void Mixer::Impl::OnScanStream(pa_context*, const pa_sink_input_info* info, int eol, void* data) {
  auto* scan = static_cast<Scan*>(data);
  if (info != nullptr && info->mute != 0 && scan->impl->Ours(info->proplist)) {
    scan->mutedStreams.push_back(info->index);
  }
  if (eol != 0) pa_threaded_mainloop_signal(scan->impl->loop_, 0);
}

Mixer::AutoReport Mixer::Impl::ApplyAutomaticSettings() {
  AutoReport report;
  LoopLock lock(loop_);
  if (lock.OnLoopThread() || !Ready()) return report;
  const Deadline deadline(*this, timeoutMs_);

  // What the server has now, not what the cache last heard.
  Scan scan;
  scan.impl = this;
  {
    Batch reads(*this);
    reads.Track(pa_context_get_source_info_by_name(context_, "@DEFAULT_SOURCE@",
                                                   &Impl::OnScanDefault, &scan));
    reads.Track(pa_context_get_source_info_list(context_, &Impl::OnScanSource, &scan));
    reads.Track(pa_context_get_sink_input_info_list(context_, &Impl::OnScanStream, &scan));
    if (!WaitUntil([&] { return reads.Done(); }, deadline)) return report;
  }

  const SourceEntry* input = nullptr;
  bool switchTo = false;
  if (scan.current && !scan.current->monitor) {
    input = &*scan.current;
  } else {
    const auto real = std::find_if(scan.sources.begin(), scan.sources.end(),
                                   [](const SourceEntry& source) { return !source.monitor; });
    if (real != scan.sources.end()) {
      input = &*real;
      switchTo = true;
    }
  }

  Batch writes(*this);
  const Batch::Outcome* switched = nullptr;
  const Batch::Outcome* unmuted = nullptr;
  const Batch::Outcome* raised = nullptr;
  std::vector<const Batch::Outcome*> streams;
  if (input != nullptr) {
    report.source = input->name;
    if (switchTo) {
      switched = writes.Write([&](pa_context_success_cb_t done, void* data) {
        return pa_context_set_default_source(context_, input->name.c_str(), done, data);
      });
    }
    if (input->muted) {
      unmuted = writes.Write([&](pa_context_success_cb_t done, void* data) {
        return pa_context_set_source_mute_by_index(context_, input->index, 0, done, data);
      });
    }
    if (input->level / 256 < kQuietMicrophone) {
      const pa_cvolume volume = Volume(input->channels, kRaisedMicrophone);
      raised = writes.Write([&](pa_context_success_cb_t done, void* data) {
        return pa_context_set_source_volume_by_index(context_, input->index, &volume, done, data);
      });
    }
  }
  for (uint32_t index : scan.mutedStreams) {
    streams.push_back(writes.Write([&](pa_context_success_cb_t done, void* data) {
      return pa_context_set_sink_input_mute(context_, index, 0, done, data);
    }));
  }
  WaitUntil([&] { return writes.Done(); }, deadline);
  report.sourceSwitched = switched != nullptr && switched->ok;
  report.sourceUnmuted = unmuted != nullptr && unmuted->ok;
  report.microphoneRaised = raised != nullptr && raised->ok;
  report.streamsUnmuted = std::any_of(streams.begin(), streams.end(),
                                      [](const Batch::Outcome* outcome) { return outcome->ok; });

  // Read the microphone back, so that the cache holds the result on return.
  QuerySource();
  WaitUntil([&] { return inflight_ == 0; }, deadline);
  return report;
}

std::unique_ptr<Mixer> Mixer::Open(const MixerOptions& options, std::string* error) {
  auto impl = std::make_unique<Impl>(options);
  std::string reason;
  if (!impl->Connect(options.server, &reason)) {
    if (error != nullptr) *error = reason;
    return nullptr;
  }
  return std::unique_ptr<Mixer>(new Mixer(std::move(impl)));
}

Mixer::Mixer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Mixer::~Mixer() = default;

bool Mixer::Available(MixerLine line) const { return impl_->Available(line); }
std::optional<uint32_t> Mixer::Level(MixerLine line) const { return impl_->Level(line); }
void Mixer::SetLevel(MixerLine line, uint32_t level) { impl_->SetLevel(line, level); }
void Mixer::SetChangeCallback(std::function<void(MixerLine, uint32_t)> callback) {
  impl_->SetChangeCallback(std::move(callback));
}
Mixer::AutoReport Mixer::ApplyAutomaticSettings() { return impl_->ApplyAutomaticSettings(); }
bool Mixer::RaiseQuietMicrophone(uint32_t below) { return impl_->RaiseQuietMicrophone(below); }

}  // namespace dialvo
