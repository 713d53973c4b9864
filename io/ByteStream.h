// ByteStream.h - the byte sink and source every stored stream moves through,
// and their in-memory forms.
//
// The file layer implements them over files (FileStreams.h); the codecs
// above it write to a ByteSink and read from a ByteSource without knowing
// what backs them.
#ifndef MORVANE_IO_BYTESTREAM_H
#define MORVANE_IO_BYTESTREAM_H

#include <cstddef>

namespace morvane {

// Destination of a stream.  Append takes all n bytes or reports failure.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool Append(const void* data, std::size_t n) = 0;
};

// Origin of a stream.  Reads exactly n bytes or fails; never reads past the
// end of its stream.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual bool ReadExact(void* dst, std::size_t n) = 0;
};

// Reads from a caller's buffer, which must outlive the source.
class MemorySource final : public ByteSource {
public:
    MemorySource(const unsigned char* data, std::size_t size);
    bool ReadExact(void* dst, std::size_t n) override;
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
