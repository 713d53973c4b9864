// ByteStream.cpp - the in-memory byte source and sink.
#include "ByteStream.h"

#include <algorithm>
#include <cstring>

namespace morvane {

MemorySource::MemorySource(const unsigned char* data, std::size_t size)
    : data_(data), size_(data == nullptr ? 0 : size) {}

std::size_t MemorySource::Read(void* dst, std::size_t n) {
    n = std::min(n, size_ - position_);
    if (n != 0) std::memcpy(dst, data_ + position_, n);
    position_ += n;
    return n;
}

MemorySink::MemorySink(unsigned char* buffer, std::size_t capacity)
    : buffer_(buffer), capacity_(buffer == nullptr ? 0 : capacity) {}

bool MemorySink::Append(const void* data, std::size_t n) {
    if (n > capacity_ - size_) return false;
    if (n != 0) std::memcpy(buffer_ + size_, data, n);
    size_ += n;
    return true;
}

}  // namespace morvane
