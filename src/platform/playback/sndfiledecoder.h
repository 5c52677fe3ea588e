#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

struct sf_private_tag;

namespace playback {

/// Decodes WAV, FLAC, Ogg Vorbis and MP3 to 16-bit interleaved frames with libsndfile.
/// Not thread-safe: opened on one thread, then used by one thread at a time.
class SndfileDecoder {
public:
    /// Null when the file is not a regular file, cannot be opened or its format is not
    /// playable; `error` (when given) then says why, as a sentence for the user. Never waits
    /// for a writer: a pipe or a device named like a recording is refused at once.
    static std::unique_ptr<SndfileDecoder> open(const QString& path, QString* error = nullptr);
    ~SndfileDecoder();
    SndfileDecoder(const SndfileDecoder&) = delete;
    SndfileDecoder& operator=(const SndfileDecoder&) = delete;

    int sampleRate() const { return m_sampleRate; }
    int channels() const { return m_channels; }
    /// Frames the header announces; -1 when unknown. Only a hint: a truncated file ends
    /// earlier, so the real length is where read() first returns 0.
    int64_t announcedFrames() const { return m_announcedFrames; }

    /// Reads up to `frames` frames; 0 at the end or on a decoding error.
    int64_t read(int16_t* samples, int64_t frames);
    /// Moves to `frame`; false when the decoder could not get there.
    bool seek(int64_t frame);

private:
    SndfileDecoder() = default;

    struct Closer {
        void operator()(sf_private_tag* file) const;
    };
    std::unique_ptr<sf_private_tag, Closer> m_file;
    int m_sampleRate = 0;
    int m_channels = 0;
    int64_t m_announcedFrames = -1;
    bool m_failed = false;
    // Set for formats whose samples are floating point (float WAV, Vorbis, Opus, MPEG):
    // those are read as floats and clipped to 16 bits here, with m_floats as scratch.
    bool m_readFloats = false;
    std::vector<float> m_floats;
};

} // namespace playback
