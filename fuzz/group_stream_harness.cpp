// group_stream_harness.cpp - fuzzing the group stream reader.
#include "GCPGroupList.h"
#include "GroupStream.h"
#include "Harnesses.h"

#include <cstdlib>
#include <vector>

namespace morvane::fuzz {

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

std::vector<unsigned char> WriteAll(CGCPGroupList& list) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(GroupStreamLength(list)));
    MemorySink sink(bytes.data(), bytes.size());
    Check(WriteGroupStream(list, sink));
    Check(sink.Size() == bytes.size());
    return bytes;
}

}  // namespace

int FuzzGroupStream(const std::uint8_t* data, std::size_t size) {
    CGCPGroupList list;
    std::uint32_t count = 0;
    MemorySource source(data, size);
    if (!ReadGroupStream(source, list, count)) return 0;
    unsigned long groups = 0;
    list.GetGroupNum(&groups);
    Check(groups == count);

    const std::vector<unsigned char> first = WriteAll(list);
    CGCPGroupList again;
    std::uint32_t countAgain = 0;
    MemorySource reread(first.data(), first.size());
    Check(ReadGroupStream(reread, again, countAgain));
    Check(reread.Remaining() == 0);
    Check(countAgain == count);
    Check(WriteAll(again) == first);
    return 0;
}

}  // namespace morvane::fuzz
