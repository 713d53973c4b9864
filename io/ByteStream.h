// ByteStream.h - the byte sink and source every stored stream moves through,
// and their in-memory forms.
//
// The file layer implements them over files (FileStreams.h); the codecs
// above it write to a ByteSink and read from a ByteSource without knowing
// what backs them.
#ifndef MORVANE_IO_BYTESTREAM_H
#define MORVANE_IO_BYTESTREAM_H

#include <cstddef>
#include <cstdint>

namespace morvane {

// Destination of a stream.  Append takes all n bytes or reports failure.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool Append(const void* data, std::size_t n) = 0;
};

// Origin of a stream; never reads past the end of its stream.
class ByteSource {
public:
    // Said by Expected() when the source cannot tell.
    static constexpr std::uint64_t kUnknownLength = ~std::uint64_t{0};

    virtual ~ByteSource() = default;
    // Reads up to n bytes into dst and returns how many arrived: fewer than n
    // only where the stream ends or fails.
    virtual std::size_t Read(void* dst, std::size_t n) = 0;
    // Reads exactly n bytes, or fails having read what there was.
    bool ReadExact(void* dst, std::size_t n) { return Read(dst, n) == n; }
    // The bytes the stream is expected still to hold, or kUnknownLength: a
    // hint for sizing what is read, never a promise (a file may change
    // while it is read).
    virtual std::uint64_t Expected() const { return kUnknownLength; }
};

// Reads from a caller's buffer, which must outlive the source.
class MemorySource final : public ByteSource {
public:
    MemorySource(const unsigned char* data, std::size_t size);
    std::size_t Read(void* dst, std::size_t n) override;
    std::uint64_t Expected() const override { return Remaining(); }
    // Bytes not yet read.
    std::size_t Remaining() const { return size_ - position_; }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// Writes into a caller's buffer of fixed capacity; refuses (and writes
// nothing of) an Append that would overflow it.
class MemorySink final : public ByteSink {
public:
    MemorySink(unsigned char* buffer, std::size_t capacity);
    bool Append(const void* data, std::size_t n) override;
    // Bytes written so far.
    std::size_t Size() const { return size_; }

private:
    unsigned char* buffer_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

}  // namespace morvane

#endif
