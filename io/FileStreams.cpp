// FileStreams.cpp - buffered file source and sink.
#include "FileStreams.h"

#include <algorithm>
#include <cstring>

namespace morvane {

namespace {

std::size_t FirstSize(std::size_t maxSize) {
    return std::clamp<std::size_t>(kFirstBufferSize, 1, std::max<std::size_t>(maxSize, 1));
}

// The next size of a buffer that filled up.
std::size_t GrownSize(std::size_t size, std::size_t maxSize) {
    return std::max(size, std::min(size * 2, maxSize));
}

}  // namespace

FileSource::FileSource(SequentialFile& file, std::size_t maxBufferSize)
    : file_(file), maxBufferSize_(maxBufferSize), buffer_(FirstSize(maxBufferSize)) {}

bool FileSource::Refill() {
    if (failed_ || ended_) return false;
    if (filled_ == buffer_.size()) buffer_.resize(GrownSize(buffer_.size(), maxBufferSize_));
    std::size_t got = 0;
    status_ = file_.Read(buffer_.data(), buffer_.size(), &got);
    if (status_.ok() && got > buffer_.size()) {
        status_ = Status::IOError("a read returned more bytes than it was asked for");
    }
    if (!status_.ok()) {
        failed_ = true;
        return false;
    }
    position_ = 0;
    filled_ = got;
    if (got == 0) ended_ = true;
    return got != 0;
}

// Reads straight from the file into dst until n bytes arrived, the file
// ends or a read fails; returns how many arrived.
std::size_t FileSource::ReadDirect(unsigned char* dst, std::size_t n) {
    std::size_t done = 0;
    while (done < n && !failed_ && !ended_) {
        std::size_t got = 0;
        status_ = file_.Read(dst + done, n - done, &got);
        if (status_.ok() && got > n - done) {
            status_ = Status::IOError("a read returned more bytes than it was asked for");
        }
        if (!status_.ok()) {
            failed_ = true;
        } else if (got == 0) {
            ended_ = true;
        }
        done += status_.ok() ? got : 0;
    }
    return done;
}

std::size_t FileSource::Read(void* dst, std::size_t n) {
    auto* out = static_cast<unsigned char*>(dst);
    std::size_t done = 0;
    while (done < n) {
        if (position_ == filled_) {
            // Copying a large piece through the buffer would only add a copy.
            if (n - done >= buffer_.size()) {
                done += ReadDirect(out + done, n - done);
                break;
            }
            if (!Refill()) break;
        }
        const std::size_t take = std::min(n - done, filled_ - position_);
        std::memcpy(out + done, buffer_.data() + position_, take);
        position_ += take;
        done += take;
    }
    consumed_ += done;
    return done;
}

std::uint64_t FileSource::Expected() const {
    if (expectedLength_ == kUnknownLength) return kUnknownLength;
    return expectedLength_ > consumed_ ? expectedLength_ - consumed_ : 0;
}

bool FileSource::AtEnd() {
    if (position_ < filled_) return false;
    Refill();
    return ended_ && !failed_;
}

FileSink::FileSink(WritableFile& file, std::size_t maxBufferSize)
    : file_(file), maxBufferSize_(maxBufferSize), buffer_(FirstSize(maxBufferSize)) {}

bool FileSink::Append(const void* data, std::size_t n) {
    if (failed_) return false;
    const auto* in = static_cast<const unsigned char*>(data);
    if (n >= maxBufferSize_) {
        // A piece at least as large as the buffer goes to the file as it is:
        // copying it through the buffer first would only add a copy.
        if (!Flush()) return false;
        status_ = file_.Append(in, n);
        if (!status_.ok()) {
            failed_ = true;
            return false;
        }
        return true;
    }
    while (n > 0) {
        if (filled_ == buffer_.size() && !Flush()) return false;
        const std::size_t take = std::min(n, buffer_.size() - filled_);
        std::memcpy(buffer_.data() + filled_, in, take);
        filled_ += take;
        in += take;
        n -= take;
    }
    return true;
}

bool FileSink::Flush() {
    if (failed_) return false;
    if (filled_ != 0) {
        status_ = file_.Append(buffer_.data(), filled_);
        if (!status_.ok()) {
            failed_ = true;
            return false;
        }
    }
    if (filled_ == buffer_.size()) buffer_.resize(GrownSize(buffer_.size(), maxBufferSize_));
    filled_ = 0;
    return true;
}

}  // namespace morvane
