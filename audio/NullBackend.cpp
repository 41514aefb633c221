// Silence in, nothing out, at the pace of a real device: for machines
// without sound and for tests of the threads that drive the devices.
#include "audio/Backends.h"
#include "audio/PacedStream.h"

namespace dialvo {

namespace {

class NullBackend final : public SoundBackend {
 public:
  explicit NullBackend(Clock& clock) : clock_(clock) {}
  const char* Name() const override { return "null"; }
  bool Supports(const WaveFormat& format) const override { return format.IsPlainPcm(); }
  OpenedStream<CaptureStream> OpenCapture(const WaveFormat& format, uint32_t) override {
    if (!Supports(format))
      return OpenedStream<CaptureStream>::Failed(kWaveBadFormat, "unsupported format");
    return OpenedStream<CaptureStream>::Ok(
        std::make_unique<PacedCapture>(clock_, format, [format](std::span<uint8_t> block) {
          FillSilence(format, block);
          return true;
        }));
  }
  OpenedStream<PlaybackStream> OpenPlayback(const WaveFormat& format, uint32_t) override {
    if (!Supports(format))
      return OpenedStream<PlaybackStream>::Failed(kWaveBadFormat, "unsupported format");
    return OpenedStream<PlaybackStream>::Ok(Discarding(format));
  }
  OpenedStream<PlaybackStream> OpenSoundOutput(const WaveFormat& format, uint32_t) override {
    return OpenPlayback(format, 0);
  }
  Clock& DeviceClock() override { return clock_; }

 private:
  std::unique_ptr<PlaybackStream> Discarding(const WaveFormat& format) {
    return std::make_unique<PacedPlayback>(clock_, format,
                                           [](std::span<const uint8_t>) { return true; });
  }

  Clock& clock_;
};

}  // namespace

std::shared_ptr<SoundBackend> MakeNullBackend(Clock& clock) {
  return std::make_shared<NullBackend>(clock);
}

}  // namespace dialvo
