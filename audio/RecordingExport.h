#pragma once
// Writes a recording out as a WAV file (16-bit, 8000 Hz, mono) that any
// player can open.
#include <cstdint>
#include <string>

namespace dialvo {

// Decodes every record of the recording in into the WAV out. The WAV is
// written beside out under a temporary name and renamed into place only
// once complete, so out is never left half written and an existing out is
// kept when the export fails. False with *error saying why: the recording's
// own messages (kRecordingOpenFailedText, kRecordingCorruptedText) for one
// that cannot be played, else the file and the problem.
bool ExportRecordingToWav(const std::string& in, const std::string& out, std::string* error,
                          uint64_t* samplesWritten = nullptr);

}  // namespace dialvo
