#include "audio/WaveBuffers.h"

#include "audio/WaveDevice.h"

namespace dialvo {

WaveBuffers::WaveBuffers(uint32_t samplesPerBuffer, uint32_t sampleRate, uint32_t channels,
                         uint32_t bitsPerSample)
    : format_(WaveFormat::Pcm(sampleRate, channels, bitsPerSample)),
      bytes_(samplesPerBuffer * channels * bitsPerSample / 8),
      memory_(size_t{kCount} * bytes_) {}

WaveHeader& WaveBuffers::Renew(uint32_t index) {
  WaveHeader& header = headers_[index];
  header.data = Slot(index);
  header.bufferLength = bytes_;
  header.bytesRecorded = 0;
  header.flags.store(0);
  header.loops = 0;
  header.user = index;
  WaveDevice::Prepare(header);
  return header;
}

}  // namespace dialvo
