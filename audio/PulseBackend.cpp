// The desktop's sound server (PulseAudio, or PipeWire through its PulseAudio
// interface): the default source and sink.
//
// It uses libpulse's asynchronous API on a threaded main loop rather than the
// blocking "simple" API: a simple read or write cannot be called off from
// another thread, so resetting a device (which must hand its buffers back at
// once) or closing it would wait on the server, for ever if the server stalls.
// Here every blocking call waits on the main loop's condition, where Interrupt
// and the server's state changes reach it, and playback can be flushed.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "audio/Backends.h"

namespace dialvo {

namespace {

// How long connecting to the server and opening a stream may take.
constexpr pa_usec_t kOpenTimeoutUs = 5 * PA_USEC_PER_SEC;
// Capture data kept when the reader falls behind, in blocks.
constexpr size_t kCaptureBacklogBlocks = 8;
// Playback latency the server is asked for, in blocks.
constexpr uint32_t kPlaybackTargetBlocks = 2;

struct LinkParams {
  pa_stream_direction_t direction = PA_STREAM_PLAYBACK;
  WaveFormat format;
  uint32_t blockBytes = 0;
  std::string programName;
  std::string streamName;
  const char* role = "phone";
  std::string server;
};

// One connection to the server with one stream. Every libpulse call and every
// field below is used under the main loop's lock.
class PulseLink {
 public:
  PulseLink() = default;
  ~PulseLink();
  PulseLink(const PulseLink&) = delete;
  PulseLink& operator=(const PulseLink&) = delete;

  bool Open(const LinkParams& params, std::string* error);
  StreamResult Read(std::span<uint8_t> block, const StreamCancel& cancel);
  StreamResult Write(std::span<const uint8_t> block, const StreamCancel& cancel);
  StreamResult Drain(const StreamCancel& cancel);
  void Interrupt(bool flush);

 private:
  class Lock {
   public:
    explicit Lock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  static void Signal(void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseLink*>(self)->loop_, 0);
  }
  static void OnContextState(pa_context*, void* self) { Signal(self); }
  static void OnStreamState(pa_stream*, void* self) { Signal(self); }
  static void OnStreamRequest(pa_stream*, size_t, void* self) { Signal(self); }
  static void OnTimeout(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
    static_cast<PulseLink*>(self)->timedOut_ = true;
    Signal(self);
  }
  static void OnDrained(pa_stream*, int, void* self) {
    static_cast<PulseLink*>(self)->drained_ = true;
    Signal(self);
  }

  bool WaitForContext();
  bool WaitForStream();
  bool Broken() const;
  void PullCaptured();
  std::string ServerError(const char* what) const;

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  uint32_t blockBytes_ = 0;
  bool timedOut_ = false;
  bool drained_ = false;
  std::vector<uint8_t> captured_;  // capture data not yet read
};

PulseLink::~PulseLink() {
  if (loop_ == nullptr) return;
  {
    Lock lock(loop_);
    if (stream_ != nullptr) {
      pa_stream_set_state_callback(stream_, nullptr, nullptr);
      pa_stream_set_read_callback(stream_, nullptr, nullptr);
      pa_stream_set_write_callback(stream_, nullptr, nullptr);
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
    }
    if (context_ != nullptr) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
  }
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

std::string PulseLink::ServerError(const char* what) const {
  if (timedOut_) return std::string("PulseAudio: ") + what + ": no answer from the sound server";
  const int code = context_ != nullptr ? pa_context_errno(context_) : PA_ERR_INTERNAL;
  return std::string("PulseAudio: ") + what + ": " + pa_strerror(code);
}

bool PulseLink::WaitForContext() {
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context_);
    if (state == PA_CONTEXT_READY) return true;
    if (!PA_CONTEXT_IS_GOOD(state) || timedOut_) return false;
    pa_threaded_mainloop_wait(loop_);
  }
}

bool PulseLink::WaitForStream() {
  for (;;) {
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state == PA_STREAM_READY) return true;
    if (!PA_STREAM_IS_GOOD(state) || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) ||
        timedOut_) {
      return false;
    }
    pa_threaded_mainloop_wait(loop_);
  }
}

bool PulseLink::Open(const LinkParams& params, std::string* error) {
  blockBytes_ = params.blockBytes;
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr) {
    *error = "PulseAudio: cannot create a main loop";
    return false;
  }
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, params.programName.c_str());
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, params.role);
  context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_),
                                          params.programName.c_str(), props);
  if (context_ == nullptr) {
    pa_proplist_free(props);
    *error = "PulseAudio: cannot create a context";
    return false;
  }
  pa_context_set_state_callback(context_, &PulseLink::OnContextState, this);

  Lock lock(loop_);
  pa_time_event* timer = nullptr;
  bool ok = false;
  do {
    // Never start a server of our own: a missing one means no sound device.
    if (pa_context_connect(context_, params.server.empty() ? nullptr : params.server.c_str(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      *error = ServerError("cannot connect");
      break;
    }
    timer = pa_context_rttime_new(context_, pa_rtclock_now() + kOpenTimeoutUs,
                                  &PulseLink::OnTimeout, this);
    if (pa_threaded_mainloop_start(loop_) < 0) {
      *error = "PulseAudio: cannot start the main loop";
      break;
    }
    if (!WaitForContext()) {
      *error = ServerError("cannot connect");
      break;
    }
    pa_sample_spec spec{};
    spec.format = params.format.bitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16NE;
    spec.rate = params.format.samplesPerSec;
    spec.channels = static_cast<uint8_t>(params.format.channels);
    stream_ =
        pa_stream_new_with_proplist(context_, params.streamName.c_str(), &spec, nullptr, props);
    if (stream_ == nullptr) {
      *error = ServerError("cannot create a stream");
      break;
    }
    pa_stream_set_state_callback(stream_, &PulseLink::OnStreamState, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    int rc = 0;
    if (params.direction == PA_STREAM_RECORD) {
      attr.fragsize = params.blockBytes;
      pa_stream_set_read_callback(stream_, &PulseLink::OnStreamRequest, this);
      rc = pa_stream_connect_record(stream_, nullptr, &attr, PA_STREAM_ADJUST_LATENCY);
    } else {
      attr.tlength = params.blockBytes * kPlaybackTargetBlocks;
      pa_stream_set_write_callback(stream_, &PulseLink::OnStreamRequest, this);
      rc = pa_stream_connect_playback(stream_, nullptr, &attr, PA_STREAM_ADJUST_LATENCY, nullptr,
                                      nullptr);
    }
    if (rc < 0 || !WaitForStream()) {
      *error = ServerError(params.direction == PA_STREAM_RECORD ? "cannot open the default source"
                                                                : "cannot open the default sink");
      break;
    }
    ok = true;
  } while (false);
  if (timer != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
  pa_proplist_free(props);
  return ok;
}

bool PulseLink::Broken() const {
  return pa_context_get_state(context_) != PA_CONTEXT_READY ||
         pa_stream_get_state(stream_) != PA_STREAM_READY;
}

void PulseLink::PullCaptured() {
  while (pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    size_t length = 0;
    if (pa_stream_peek(stream_, &data, &length) < 0 || length == 0) return;
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (bytes != nullptr) {
      captured_.insert(captured_.end(), bytes, bytes + length);
    } else {
      captured_.insert(captured_.end(), length, 0);  // a hole: the server lost data
    }
    pa_stream_drop(stream_);
  }
  const size_t limit = kCaptureBacklogBlocks * blockBytes_;
  if (captured_.size() > limit) {
    captured_.erase(captured_.begin(),
                    captured_.begin() + static_cast<std::ptrdiff_t>(captured_.size() - limit));
  }
}

StreamResult PulseLink::Read(std::span<uint8_t> block, const StreamCancel& cancel) {
  Lock lock(loop_);
  for (;;) {
    if (cancel.Requested()) return StreamResult::kCancelled;
    if (Broken()) return StreamResult::kFailed;
    PullCaptured();
    if (captured_.size() >= block.size()) {
      std::memcpy(block.data(), captured_.data(), block.size());
      captured_.erase(captured_.begin(),
                      captured_.begin() + static_cast<std::ptrdiff_t>(block.size()));
      return StreamResult::kDone;
    }
    pa_threaded_mainloop_wait(loop_);
  }
}

StreamResult PulseLink::Write(std::span<const uint8_t> block, const StreamCancel& cancel) {
  Lock lock(loop_);
  size_t done = 0;
  while (done < block.size()) {
    if (cancel.Requested()) return StreamResult::kCancelled;
    if (Broken()) return StreamResult::kFailed;
    const size_t room = pa_stream_writable_size(stream_);
    if (room == static_cast<size_t>(-1)) return StreamResult::kFailed;
    if (room == 0) {
      pa_threaded_mainloop_wait(loop_);
      continue;
    }
    const size_t chunk = std::min(room, block.size() - done);
    if (pa_stream_write(stream_, block.data() + done, chunk, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
      return StreamResult::kFailed;
    }
    done += chunk;
  }
  return StreamResult::kDone;
}

StreamResult PulseLink::Drain(const StreamCancel& cancel) {
  Lock lock(loop_);
  if (Broken()) return StreamResult::kFailed;
  drained_ = false;
  pa_operation* op = pa_stream_drain(stream_, &PulseLink::OnDrained, this);
  if (op == nullptr) return StreamResult::kFailed;
  StreamResult result = StreamResult::kDone;
  while (!drained_) {
    if (cancel.Requested() || Broken()) {
      result = cancel.Requested() ? StreamResult::kCancelled : StreamResult::kFailed;
      pa_operation_cancel(op);
      break;
    }
    pa_threaded_mainloop_wait(loop_);
  }
  pa_operation_unref(op);
  return result;
}

void PulseLink::Interrupt(bool flush) {
  Lock lock(loop_);
  if (flush && !Broken()) {
    if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr)) pa_operation_unref(op);
  }
  pa_threaded_mainloop_signal(loop_, 0);
}

class PulseCapture final : public CaptureStream {
 public:
  StreamResult Read(std::span<uint8_t> block, const StreamCancel& cancel) override {
    return link.Read(block, cancel);
  }
  void Interrupt() override { link.Interrupt(false); }
  PulseLink link;
};

class PulsePlayback final : public PlaybackStream {
 public:
  StreamResult Write(std::span<const uint8_t> block, const StreamCancel& cancel) override {
    return link.Write(block, cancel);
  }
  StreamResult Drain(const StreamCancel& cancel) override { return link.Drain(cancel); }
  void Interrupt() override { link.Interrupt(true); }
  PulseLink link;
};

class PulseBackend final : public SoundBackend {
 public:
  PulseBackend(const SoundBackendOptions& options, Clock& clock)
      : programName_(options.programName.empty() ? ProgramName() : options.programName),
        server_(options.server),
        clock_(clock) {}
  const char* Name() const override { return "pulse"; }
  bool Supports(const WaveFormat& format) const override {
    return format.IsPlainPcm() && format.channels <= PA_CHANNELS_MAX &&
           format.samplesPerSec <= PA_RATE_MAX;
  }
  OpenedStream<CaptureStream> OpenCapture(const WaveFormat& format, uint32_t blockBytes) override {
    return Open<PulseCapture, CaptureStream>(PA_STREAM_RECORD, format, blockBytes, " capture",
                                             "phone");
  }
  OpenedStream<PlaybackStream> OpenPlayback(const WaveFormat& format,
                                            uint32_t blockBytes) override {
    return Open<PulsePlayback, PlaybackStream>(PA_STREAM_PLAYBACK, format, blockBytes, " playback",
                                               "phone");
  }
  OpenedStream<PlaybackStream> OpenSoundOutput(const WaveFormat& format,
                                               uint32_t blockBytes) override {
    return Open<PulsePlayback, PlaybackStream>(PA_STREAM_PLAYBACK, format, blockBytes, " sounds",
                                               "event");
  }
  Clock& DeviceClock() override { return clock_; }

 private:
  template <typename Impl, typename Stream>
  OpenedStream<Stream> Open(pa_stream_direction_t direction, const WaveFormat& format,
                            uint32_t blockBytes, const char* suffix, const char* role) {
    if (!Supports(format) || blockBytes == 0) {
      return OpenedStream<Stream>::Failed(kWaveBadFormat, "PulseAudio: unsupported format");
    }
    LinkParams params;
    params.direction = direction;
    params.format = format;
    params.blockBytes = blockBytes;
    params.programName = programName_;
    params.streamName = programName_ + suffix;
    params.role = role;
    params.server = server_;
    auto stream = std::make_unique<Impl>();
    std::string error;
    if (!stream->link.Open(params, &error)) return OpenedStream<Stream>::Failed(kMmError, error);
    return OpenedStream<Stream>::Ok(std::move(stream));
  }

  const std::string programName_;
  const std::string server_;
  Clock& clock_;
};

}  // namespace

std::shared_ptr<SoundBackend> MakePulseBackend(const SoundBackendOptions& options, Clock& clock) {
  return std::make_shared<PulseBackend>(options, clock);
}

}  // namespace dialvo
