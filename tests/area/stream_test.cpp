// Tests of the group stream: encoding helpers, byte layout, round trips and
// the reader's handling of streams that are short, odd or refused.
#include "AreaTestKit.h"
#include "Coding.h"
#include "GCPGroupList.h"
#include "GroupStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace morvane::test {
namespace {

struct GroupPlan {
    short orient;
    short trans;
    double range[4];
    int points;
    int firstPoint;
};

// Fills list with groups as specified; every third point is a check point
// (use flag off) and every fourth is locked (edit flag off).
void BuildList(CGCPGroupList& list, const std::vector<GroupPlan>& plans) {
    unsigned long k = 1;
    for (const GroupPlan& plan : plans) {
        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(plan.orient, plan.trans), TM_OK);
        for (int j = 0; j < plan.points; ++j) {
            _CtrlPntStrcT p = TestPoint(plan.firstPoint + j);
            p.UseFlag = j % 3 == 2 ? 0 : 1;
            p.EditFlag = j % 4 == 3 ? 0 : 1;
            ASSERT_EQ(set.AddOneGcp(static_cast<unsigned long>(j + 1), &p), TM_OK);
        }
        ASSERT_EQ(set.SetUserCoordRange(plan.range[0], plan.range[1], plan.range[2], plan.range[3]),
                  TM_OK);
        ASSERT_EQ(list.InsertGroup(k++, &set), 1);
    }
}

Bytes Write(CGCPGroupList& list) {
    Bytes buffer(static_cast<std::size_t>(GroupStreamLength(list)));
    MemorySink sink(buffer.data(), buffer.size());
    EXPECT_TRUE(WriteGroupStream(list, sink));
    EXPECT_EQ(sink.Size(), buffer.size());
    return buffer;
}

bool Read(const Bytes& bytes, CGCPGroupList& list, std::uint32_t& count) {
    MemorySource source(bytes.data(), bytes.size());
    return ReadGroupStream(source, list, count);
}

unsigned long GroupCount(CGCPGroupList& list) {
    unsigned long n = 0;
    list.GetGroupNum(&n);
    return n;
}

void ExpectSameGroups(CGCPGroupList& expected, CGCPGroupList& actual) {
    ASSERT_EQ(GroupCount(actual), GroupCount(expected));
    for (unsigned long k = 1; k <= GroupCount(expected); ++k) {
        SCOPED_TRACE("group " + std::to_string(k));
        CCtrlPntSet* a = expected.PeekGroup(k);
        CCtrlPntSet* b = actual.PeekGroup(k);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->GetGroupNo(), static_cast<long>(k));
        short oa, ob, ta, tb;
        a->GetOrientType(&oa);
        b->GetOrientType(&ob);
        a->GetTransType(&ta);
        b->GetTransType(&tb);
        EXPECT_EQ(oa, ob);
        EXPECT_EQ(ta, tb);
        double ra[4], rb[4];
        a->GetUserCoordRange(&ra[0], &ra[1], &ra[2], &ra[3]);
        b->GetUserCoordRange(&rb[0], &rb[1], &rb[2], &rb[3]);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(ra[i], rb[i]) << "range value " << i + 1;
        unsigned long na = 0, nb = 0;
        a->GetGCPNum(&na);
        b->GetGCPNum(&nb);
        ASSERT_EQ(na, nb);
        for (unsigned long j = 1; j <= na; ++j) {
            _CtrlPntStrcT pa, pb;
            ASSERT_EQ(a->GetOneGCP(j, &pa), TM_OK);
            ASSERT_EQ(b->GetOneGCP(j, &pb), TM_OK);
            EXPECT_TRUE(SameRecord(pa, pb)) << "point " << j;
        }
    }
}

TEST(CodingTest, FieldsAreLittleEndianWhateverTheirType) {
    unsigned char b[8];
    EncodeFixed32(b, 0x01020304u);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(DecodeFixed32(b), 0x01020304u);
    EncodeSigned16(b, -2);
    EXPECT_EQ(Bytes(b, b + 2), (Bytes{0xfe, 0xff}));
    EXPECT_EQ(DecodeSigned16(b), -2);
    EncodeSigned32(b, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(DecodeSigned32(b), std::numeric_limits<std::int32_t>::min());
    EncodeFixed64(b, 0x0102030405060708ull);
    EXPECT_EQ(Bytes(b, b + 8), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(DecodeFixed64(b), 0x0102030405060708ull);
    for (double v : {1.0, -2.5, 4100000.125, std::numeric_limits<double>::denorm_min(),
                     -std::numeric_limits<double>::infinity()}) {
        EncodeDouble(b, v);
        EXPECT_EQ(Bytes(b, b + 8), ByteWriter().F64(v).bytes());
        EXPECT_EQ(DecodeDouble(b), v);
    }
    EncodeDouble(b, std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(std::isnan(DecodeDouble(b)));
}

TEST(MemoryStreamTest, SourceAndSinkNeverGoPastTheirBuffers) {
    const Bytes data{1, 2, 3, 4, 5};
    MemorySource source(data.data(), data.size());
    unsigned char out[8] = {};
    EXPECT_EQ(source.Expected(), 5u);
    EXPECT_TRUE(source.ReadExact(out, 3));
    // A short read hands over what is left and writes nothing past it.
    EXPECT_FALSE(source.ReadExact(out, 3));
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(out[1], 5);
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(source.Remaining(), 0u);
    EXPECT_EQ(source.Read(out, 1), 0u);
    EXPECT_TRUE(source.ReadExact(out, 0));

    unsigned char buffer[10];
    std::memset(buffer, 0xAA, sizeof buffer);
    MemorySink sink(buffer, 4);
    EXPECT_FALSE(sink.Append(data.data(), 5));
    EXPECT_EQ(sink.Size(), 0u);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_TRUE(sink.Append(data.data(), 4));
    EXPECT_FALSE(sink.Append(data.data(), 1));
    EXPECT_EQ(sink.Size(), 4u);
    EXPECT_EQ(buffer[4], 0xAA);
}

TEST(GroupStreamTest, HeaderKeepsRangeValuesInTheOrderOneThreeTwoFour) {
    CGCPGroupList list;
    BuildList(list, {{TM_ORIENT_LINE_UP, TM_TRANS_SIMILARITY, {10, 20, 30, 40}, 0, 0}});
    const Bytes stream = Write(list);
    EXPECT_EQ(stream, LoadHexDump("range-placement.hex"));

    const GroupHeader header = DecodeGroupHeader(stream.data() + kGroupCountSize);
    EXPECT_EQ(header.range[0], 10);
    EXPECT_EQ(header.range[1], 20);
    EXPECT_EQ(header.range[2], 30);
    EXPECT_EQ(header.range[3], 40);
    unsigned char encoded[kGroupHeaderSize];
    EncodeGroupHeader(encoded, header);
    EXPECT_EQ(Bytes(encoded, encoded + kGroupHeaderSize),
              Bytes(stream.begin() + kGroupCountSize, stream.end()));

    CGCPGroupList back;
    std::uint32_t count = 0;
    ASSERT_TRUE(Read(stream, back, count));
    double r[4];
    ASSERT_EQ(back.PeekGroup(1)->GetUserCoordRange(&r[0], &r[1], &r[2], &r[3]), TM_OK);
    EXPECT_EQ(r[0], 10);
    EXPECT_EQ(r[1], 20);
    EXPECT_EQ(r[2], 30);
    EXPECT_EQ(r[3], 40);
}

TEST(GroupStreamTest, RoundTripKeepsGroupsTypesRangesFlagsAndRecords) {
    CGCPGroupList list;
    BuildList(list, {{TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1, {1, 2, 3, 4}, 5, 0},
                     {TM_ORIENT_LINE_UP, TM_TRANS_POLY2, {-5.5, -6.5, 7.5, 8.5}, 0, 0},
                     {TM_ORIENT_LINE_DOWN, TM_TRANS_SIMILARITY, {1e6, 2e6, 3e6, 4e6}, 4, 10},
                     {TM_ORIENT_LINE_UP, TM_TRANS_TPS, {0.125, 0.25, 0.5, 1.0}, 7, 20}});
    const Bytes stream = Write(list);
    EXPECT_EQ(stream.size(), 4u + (44 + 5 * 120) + 44 + (44 + 4 * 120) + (44 + 7 * 120));

    CGCPGroupList back;
    std::uint32_t count = 0;
    ASSERT_TRUE(Read(stream, back, count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(back.GetModifyFlag(), 1);
    ExpectSameGroups(list, back);
    // The flags travel inside the records; check them through the library too.
    bool use = true, edit = true;
    ASSERT_EQ(back.PeekGroup(3)->GetOneGcpUseOnOff(3, &use), TM_OK);
    ASSERT_EQ(back.PeekGroup(3)->GetOneGCPEditOnOff(4, &edit), TM_OK);
    EXPECT_FALSE(use);
    EXPECT_FALSE(edit);
    // Writing what was read gives the same bytes again.
    EXPECT_EQ(Write(back), stream);
}

TEST(GroupStreamTest, EmptyAndPointlessGroupsHaveTheirExactLength) {
    CGCPGroupList empty;
    EXPECT_EQ(Write(empty), (Bytes{0, 0, 0, 0}));
    CGCPGroupList back;
    std::uint32_t count = 99;
    ASSERT_TRUE(Read(Bytes{0, 0, 0, 0}, back, count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(back.GetModifyFlag(), 0);  // nothing was inserted

    CGCPGroupList list;
    BuildList(list, {{0, 1, {0, 0, 0, 0}, 3, 0}, {0, 1, {0, 0, 0, 0}, 0, 0}});
    const Bytes stream = Write(list);
    ASSERT_EQ(stream.size(), 452u);
    EXPECT_EQ(GroupStreamLength(list), 452u);
    // The second header follows the third point record at once.
    const GroupHeader second = DecodeGroupHeader(stream.data() + 4 + 44 + 360);
    EXPECT_EQ(second.groupNo, 2);
    EXPECT_EQ(second.pointCount, 0u);
}

TEST(GroupStreamTest, GroupsAreNumberedByPositionNotByStoredNumber) {
    const _CtrlPntStrcT p = TestPoint(1);
    const Bytes stream = ByteWriter()
                             .U32(2)
                             .Header(7, 1, 0, 1, 1, 2, 3, 4)
                             .Point(p)
                             .Header(-9, 0, 1, 2, 5, 6, 7, 8)
                             .bytes();
    CGCPGroupList list;
    std::uint32_t count = 0;
    ASSERT_TRUE(Read(stream, list, count));
    ASSERT_EQ(GroupCount(list), 2u);
    EXPECT_EQ(list.PeekGroup(1)->GetGroupNo(), 1);
    EXPECT_EQ(list.PeekGroup(2)->GetGroupNo(), 2);
    const Bytes rewritten = Write(list);
    EXPECT_EQ(DecodeSigned32(rewritten.data() + 4), 1);
    EXPECT_EQ(DecodeSigned32(rewritten.data() + 4 + 44 + 120), 2);
}

// The stored bytes of a point do not depend on the platform: names keep
// every byte value (char is signed on x86-64, unsigned on 64-bit Arm) and
// signed fields are two's complement, little-endian.  The first 88 bytes of
// the written record (what the caller gave) are compared with the record
// built field by field from the layout of docs/point-record.md.
TEST(GroupStreamTest, PointRecordBytesAreTheSameOnEveryPlatform) {
    struct Case {
        std::string name;  // bytes, at most 31
        std::int32_t id;
        std::uint8_t use;
    };
    const Case cases[] = {
        {"\x80", -1, 1},
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac", std::numeric_limits<std::int32_t>::min(), 0},
        {"\xff\xfe\x01\x7f\x1f", std::numeric_limits<std::int32_t>::max(), 1},
        {std::string(31, '\xff'), -2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("id " + std::to_string(c.id));
        _CtrlPntStrcT p = TmMakePoint(-0.5, 1e-300, -500000.25, 4100000.0, -12.0, c.name.c_str());
        p.Id = c.id;
        p.UseFlag = c.use;
        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1), TM_OK);
        ASSERT_EQ(set.AddOneGcp(1, &p), TM_OK);
        CGCPGroupList list;
        ASSERT_EQ(list.InsertGroup(1, &set), 1);
        const Bytes stream = Write(list);
        ASSERT_EQ(stream.size(), 4u + 44 + 120);

        char name[32] = {};
        std::memcpy(name, c.name.data(), c.name.size());
        const Bytes expected = ByteWriter()
                                   .F64(-0.5).F64(1e-300).F64(-500000.25).F64(4100000.0).F64(-12.0)
                                   .Raw(name, sizeof name)
                                   .I32(c.id).U8(c.use).U8(1).U16(0).F64(0.0)
                                   .bytes();
        EXPECT_EQ(Bytes(stream.begin() + 48, stream.begin() + 48 + 88), expected);

        CGCPGroupList back;
        std::uint32_t count = 0;
        ASSERT_TRUE(Read(stream, back, count));
        _CtrlPntStrcT read;
        ASSERT_EQ(back.PeekGroup(1)->GetOneGCP(1, &read), TM_OK);
        EXPECT_EQ(std::string(read.Name), c.name);
        EXPECT_EQ(read.Id, c.id);
        EXPECT_EQ(Write(back), stream);
    }
}

TEST(GroupStreamTest, PointCountWithTopBitSetIsFollowedByNoRecords) {
    const _CtrlPntStrcT p = TestPoint(3);
    for (std::uint32_t odd : {0x80000000u, 0x80000001u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(odd);
        const Bytes stream = ByteWriter()
                                 .U32(2)
                                 .Header(1, odd, 0, 1, 0, 0, 0, 0)
                                 .Header(2, 1, 0, 1, 0, 0, 0, 0)
                                 .Point(p)
                                 .bytes();
        CGCPGroupList list;
        std::uint32_t count = 0;
        ASSERT_TRUE(Read(stream, list, count));
        ASSERT_EQ(GroupCount(list), 2u);
        unsigned long n1 = 9, n2 = 9;
        list.PeekGroup(1)->GetGCPNum(&n1);
        list.PeekGroup(2)->GetGCPNum(&n2);
        EXPECT_EQ(n1, 0u);
        EXPECT_EQ(n2, 1u);
    }
    EXPECT_EQ(StoredPointRecords(0x7FFFFFFFu), 0x7FFFFFFFu);
    EXPECT_EQ(StoredPointRecords(0x80000000u), 0u);
}

TEST(GroupStreamTest, StreamCutAnywhereFailsAndKeepsTheGroupsBeforeTheCut) {
    CGCPGroupList list;
    BuildList(list, {{0, 1, {1, 2, 3, 4}, 2, 0}, {1, 4, {5, 6, 7, 8}, 0, 0}, {0, 2, {9, 9, 9, 9}, 3, 5}});
    const Bytes stream = Write(list);
    // Offsets at which each group block ends.
    const std::size_t ends[3] = {4 + 44 + 240, 4 + 44 + 240 + 44, stream.size()};
    for (std::size_t cut = 0; cut < stream.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const Bytes shortStream(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
        CGCPGroupList back;
        std::uint32_t count = 12345;
        EXPECT_FALSE(Read(shortStream, back, count));
        EXPECT_EQ(count, cut >= 4 ? 3u : 12345u);
        unsigned long complete = 0;
        for (std::size_t end : ends) complete += cut >= end ? 1 : 0;
        EXPECT_EQ(GroupCount(back), complete);
        back.ReleaseAllGroups();
    }
    // Bytes after the last group are not looked at.
    Bytes longer = stream;
    longer.insert(longer.end(), {0xde, 0xad, 0xbe, 0xef, 1, 2, 3});
    CGCPGroupList back;
    std::uint32_t count = 0;
    ASSERT_TRUE(Read(longer, back, count));
    ExpectSameGroups(list, back);
    back.ReleaseAllGroups();
    list.ReleaseAllGroups();
}

TEST(GroupStreamTest, GroupsTheLibraryRefusesFailTheLoad) {
    const _CtrlPntStrcT good = TestPoint(1);
    _CtrlPntStrcT notFinite = TestPoint(2);
    notFinite.UserX = std::numeric_limits<double>::quiet_NaN();
    _CtrlPntStrcT unterminated = TestPoint(3);
    std::memset(unterminated.Name, 'x', sizeof unterminated.Name);
    const double nan = std::numeric_limits<double>::quiet_NaN();

    const Bytes unknownType = ByteWriter().U32(2).Header(1, 0, 0, 1, 0, 0, 0, 0)
                                  .Header(2, 0, 0, 99, 0, 0, 0, 0).bytes();
    const Bytes unknownOrient = ByteWriter().U32(2).Header(1, 0, 0, 1, 0, 0, 0, 0)
                                    .Header(2, 0, 7, 1, 0, 0, 0, 0).bytes();
    const Bytes badRange = ByteWriter().U32(2).Header(1, 0, 0, 1, 0, 0, 0, 0)
                               .Header(2, 0, 0, 1, 0, nan, 0, 0).bytes();
    const Bytes badPoint = ByteWriter().U32(2).Header(1, 0, 0, 1, 0, 0, 0, 0)
                               .Header(2, 2, 0, 1, 0, 0, 0, 0).Point(good).Point(notFinite).bytes();
    const Bytes badName = ByteWriter().U32(2).Header(1, 0, 0, 1, 0, 0, 0, 0)
                              .Header(2, 1, 0, 1, 0, 0, 0, 0).Point(unterminated).bytes();
    for (const Bytes* stream : {&unknownType, &unknownOrient, &badRange, &badPoint, &badName}) {
        CGCPGroupList list;
        std::uint32_t count = 0;
        EXPECT_FALSE(Read(*stream, list, count));
        EXPECT_EQ(count, 2u);
        EXPECT_EQ(GroupCount(list), 1u);  // the good group before stays
        list.ReleaseAllGroups();
    }
}

TEST(GroupStreamTest, WriterReportsASinkThatRunsOut) {
    CGCPGroupList list;
    BuildList(list, {{0, 1, {1, 2, 3, 4}, 2, 0}, {1, 2, {0, 0, 0, 0}, 1, 0}});
    const Bytes full = Write(list);
    for (std::size_t capacity = 0; capacity < full.size(); ++capacity) {
        Bytes buffer(capacity + 1);
        MemorySink sink(buffer.data(), capacity);
        EXPECT_FALSE(WriteGroupStream(list, sink)) << capacity;
    }
    list.ReleaseAllGroups();
}

}  // namespace
}  // namespace morvane::test
