// FileStreams.h - buffered byte sources and sinks over the files of an Env.
//
// The group stream moves in pieces of 4, 44 and 120 bytes; these adapters
// gather them into large reads and writes, so that a file costs one system
// call per buffer rather than one per record.
#ifndef MORVANE_IO_FILESTREAMS_H
#define MORVANE_IO_FILESTREAMS_H

#include "Env.h"
#include "ByteStream.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvane {

// The buffers start small and double with use up to kFileBufferSize, so a
// small file costs a small buffer and a large one few system calls.
inline constexpr std::size_t kFileBufferSize = 1 << 20;
inline constexpr std::size_t kFirstBufferSize = 64 << 10;

// Reads a SequentialFile through a buffer.  Read comes up short at the end
// of the file and after a read error, and never reads past the end.  A read
// at least as large as the buffer, once the buffer is drained, goes into
// the caller's memory directly.
class FileSource final : public ByteSource {
public:
    explicit FileSource(SequentialFile& file, std::size_t maxBufferSize = kFileBufferSize);
    std::size_t Read(void* dst, std::size_t n) override;
    // The file's length, when the caller knows it (from its Version): what
    // Expected() counts down from.  Unknown until said.
    void SetExpectedLength(std::uint64_t bytes) { expectedLength_ = bytes; }
    std::uint64_t Expected() const override;
    // True when every byte of the file has been read and no error occurred.
    bool AtEnd();
    // Why a read failed; OK while none did (running out of bytes is not a
    // failure of the file).
    const Status& status() const { return status_; }

private:
    bool Refill();
    std::size_t ReadDirect(unsigned char* dst, std::size_t n);

    SequentialFile& file_;
    std::size_t maxBufferSize_;
    std::vector<unsigned char> buffer_;
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
    std::uint64_t consumed_ = 0;  // bytes handed out by Read
    std::uint64_t expectedLength_ = kUnknownLength;
    bool failed_ = false;
    bool ended_ = false;
    Status status_;
};

// Appends to a WritableFile through a buffer; Flush hands over what is left.
// A piece of at least maxBufferSize bytes is handed to the file directly,
// after what the buffer holds.
class FileSink final : public ByteSink {
public:
    explicit FileSink(WritableFile& file, std::size_t maxBufferSize = kFileBufferSize);
    bool Append(const void* data, std::size_t n) override;
    bool Flush();
    // Why the file refused a write; OK while it took every one.
    const Status& status() const { return status_; }

private:
    WritableFile& file_;
    std::size_t maxBufferSize_;
    std::vector<unsigned char> buffer_;
    std::size_t filled_ = 0;
    bool failed_ = false;
    Status status_;
};

}  // namespace morvane

#endif
