// How the report's flash picture judges each sector against the flash that
// the written images demand, and how the page keeps foreign text inert.
#include <gtest/gtest.h>

#include <cstring>

#include "HtmlReport.h"

namespace swsim {
namespace {

constexpr uint32_t KiB = 1024;

struct Case {
    const char* name;
    // Images written, in order: start KiB and length in bytes.
    std::vector<std::pair<int, uint32_t>> images;
    // Partitions kept (start, length in bytes).
    std::vector<std::pair<uint32_t, uint32_t>> kept;
    // A byte the run changed besides the images (-1: none).
    int64_t strayByte;
    // A byte of an image that did not get written (-1: none).
    int64_t missedByte;
    std::vector<std::pair<int, SectorState>> expected;
    std::vector<std::pair<int, uint32_t>> covered;
    bool sameBytes = false;  // every image holds the same bytes (an overlap changes nothing)
    // Partitions the map demands written that the run did not write.
    std::vector<std::pair<uint32_t, uint32_t>> notWritten = {};
    const char* overwrites = "";  // "IMAGE by LATER in SECTORS; ..."
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class FlashPicture : public ::testing::TestWithParam<Case> {};

TEST_P(FlashPicture, JudgesEverySectorAgainstTheDemandedFlash)
{
    const Case& c = GetParam();
    std::vector<uint8_t> before(kFlashSize, 0xFF);
    for (size_t i = 0; i < before.size(); i += 4096) before[i] = static_cast<uint8_t>(i >> 12);
    std::vector<WrittenImage> images;
    for (const auto& im : c.images) {
        WrittenImage w;
        w.name = "img" + std::to_string(images.size()) + "Part.bin";
        w.startKiB = im.first;
        w.bytes.assign(im.second, static_cast<uint8_t>(c.sameBytes ? 0x30 : 0x30 + images.size()));
        images.push_back(w);
    }
    std::vector<uint8_t> after = ExpectedFlash(before, images);
    if (c.strayByte >= 0) after[static_cast<size_t>(c.strayByte)] ^= 0x01;
    if (c.missedByte >= 0) after[static_cast<size_t>(c.missedByte)] = before[static_cast<size_t>(c.missedByte)] ^ 0x5A;
    std::vector<PartitionBox> boxes;
    for (const auto& k : c.kept) {
        PartitionBox b;
        b.name = "keptPart.bin";
        b.start = k.first;
        b.length = k.second;
        b.decision = "kept";
        b.kept = true;
        boxes.push_back(b);
    }
    for (const auto& n : c.notWritten) {
        PartitionBox b;
        b.name = "skippedPart.bin";
        b.start = n.first;
        b.length = n.second;
        b.decision = "not written";
        b.notWritten = true;
        boxes.push_back(b);
    }
    const auto p = PictureFlash(before, after, images, boxes);
    std::string overwrites;
    for (const auto& o : p.overwrites) {
        overwrites += (overwrites.empty() ? "" : "; ") + o.image + " by " + o.by + " in " + SectorRanges(o.sectors);
    }
    EXPECT_EQ(overwrites, c.overwrites);
    ASSERT_EQ(p.sectors.size(), static_cast<size_t>(kSectorCount));
    for (const auto& e : c.expected) {
        EXPECT_EQ(SectorStateKey(p.sectors[e.first]), std::string(SectorStateKey(e.second))) << "sector " << e.first;
    }
    for (const auto& e : c.covered) EXPECT_EQ(p.coveredBytes[e.first], e.second) << "sector " << e.first;
}

using S = SectorState;
INSTANTIATE_TEST_SUITE_P(
    Cases, FlashPicture,
    ::testing::Values(
        Case{"WholeSectorsWrittenTheRestUntouched", {{0, 256 * KiB}}, {}, -1, -1,
             {{0, S::Written}, {1, S::Written}, {2, S::Untouched}, {127, S::Untouched}},
             {{0, 128 * KiB}, {1, 128 * KiB}, {2, 0}}},
        Case{"ImageEndingInsideASector", {{0, 700 * KiB}}, {}, -1, -1,
             {{4, S::Written}, {5, S::Partial}, {6, S::Untouched}}, {{5, 60 * KiB}}},
        Case{"ImageStartingInsideASector", {{14337, 300 * KiB}}, {}, -1, -1,
             {{112, S::Partial}, {113, S::Written}, {114, S::Partial}}, {{112, 127 * KiB}, {114, 45 * KiB}}},
        // Two images in one sector: the covered bytes are counted once.
        Case{"OverlappingImagesCountedOnce", {{0, 100 * KiB}, {64, 100 * KiB}}, {}, -1, -1,
             {{0, S::Written}, {1, S::Partial}}, {{0, 128 * KiB}, {1, 36 * KiB}}, true},
        // A later image over an earlier one with other bytes: the flash is as
        // written, but does not hold the earlier image there.
        Case{"LaterImageOverwritesAnEarlierOne", {{2048, 1200 * KiB}, {3000, 100 * KiB}}, {}, -1, -1,
             {{22, S::Written}, {23, S::Overwritten}, {24, S::Overwritten}, {25, S::Partial}}, {{24, 128 * KiB}},
             false, {}, "img0Part.bin by img1Part.bin in 23-24"},
        Case{"ThreeImagesOverTheFirst", {{0, 512 * KiB}, {128, 10 * KiB}, {384, 10 * KiB}}, {}, -1, -1,
             {{0, S::Written}, {1, S::Overwritten}, {2, S::Written}, {3, S::Overwritten}}, {},
             false, {}, "img0Part.bin by img1Part.bin in 1; img0Part.bin by img2Part.bin in 3"},
        // A partition skipped after a fault keeps its old bytes: not written.
        Case{"DemandedPartitionNotWritten", {{0, 128 * KiB}}, {}, -1, -1,
             {{0, S::Written}, {16, S::NotWritten}, {25, S::NotWritten}, {26, S::Untouched}}, {}, false,
             {{2048 * KiB, 1200 * KiB + 300}}},
        Case{"KeptPartitionUnchanged", {}, {{8192 * KiB, 4096 * KiB}}, -1, -1,
             {{63, S::Untouched}, {64, S::Kept}, {95, S::Kept}, {96, S::Untouched}}, {}},
        // A stray change is shown wherever it is: in a kept partition, in
        // the preserved part of a partial sector, in an untouched sector.
        Case{"StrayChangeInKeptPartition", {}, {{8192 * KiB, 4096 * KiB}}, 8192 * KiB + 5, -1,
             {{64, S::Unexpected}, {65, S::Kept}}, {}},
        Case{"PreservedBytesOfAPartialSectorChanged", {{0, 700 * KiB}}, {}, 700 * KiB + 1, -1,
             {{4, S::Written}, {5, S::Unexpected}}, {}},
        Case{"StrayChangeInAnUntouchedSector", {{0, 128 * KiB}}, {}, 50 * 128 * KiB, -1,
             {{0, S::Written}, {50, S::Unexpected}, {51, S::Untouched}}, {}},
        // An image's byte not as written is a torn sector (a fault, a cut),
        // also where a later image overlaps.
        Case{"ImageByteNotWritten", {{2048, 128 * KiB}}, {}, -1, 2048 * KiB + 77,
             {{16, S::Torn}}, {{16, 128 * KiB}}},
        Case{"TornWhereImagesOverlap", {{0, 256 * KiB}, {128, 10 * KiB}}, {}, -1, 128 * KiB + 5,
             {{0, S::Written}, {1, S::Torn}}, {}},
        // An image reaching past the flash's end is cut there.
        Case{"ImageCutAtTheFlashEnd", {{16384 - 64, 1024 * KiB}}, {}, -1, -1,
             {{127, S::Partial}}, {{127, 64 * KiB}}}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(FlashPictureSvg, OneRectanglePerSectorWithItsStateAndALegend)
{
    std::vector<uint8_t> flash(kFlashSize, 0xFF);
    WrittenImage w;
    w.name = "a<b>Part.bin";
    w.startKiB = 0;
    w.bytes.assign(100 * KiB, 1);
    std::vector<uint8_t> after = ExpectedFlash(flash, {w});
    PartitionBox box;
    box.name = w.name;
    box.length = 100 * KiB;
    box.decision = "written";
    const std::string svg = FlashSvg(PictureFlash(flash, after, {w}, {box}));
    size_t rects = 0;
    for (size_t at = svg.find("class=\"sector\""); at != std::string::npos; at = svg.find("class=\"sector\"", at + 1)) ++rects;
    EXPECT_EQ(rects, static_cast<size_t>(kSectorCount));
    EXPECT_NE(svg.find("id=\"sector-0\" data-sector=\"0\" data-state=\"partial\""), std::string::npos);
    EXPECT_NE(svg.find("id=\"sector-127\" data-sector=\"127\" data-state=\"untouched\""), std::string::npos);
    for (const char* key :
         {"written", "partial", "kept", "untouched", "unexpected", "torn", "overwritten", "not-written"}) {
        EXPECT_NE(svg.find(std::string("class=\"legend\" data-state=\"") + key), std::string::npos) << key;
    }
    // A second picture on the same page gets ids of its own, patterns too.
    const std::string second = FlashSvg(PictureFlash(flash, after, {w}, {box}), "i2-");
    EXPECT_NE(second.find("id=\"i2-sector-0\""), std::string::npos);
    EXPECT_NE(second.find("url(#i2-fill-partial)"), std::string::npos);
    EXPECT_EQ(second.find("id=\"sector-"), std::string::npos);
    EXPECT_EQ(second.find("url(#fill-"), std::string::npos);
    // The image's name is text, never markup.
    EXPECT_EQ(svg.find("a<b>"), std::string::npos);
    EXPECT_NE(svg.find("a&lt;b&gt;Part.bin"), std::string::npos);
}

TEST(HtmlEscape, MarkupQuotesAndControlCharactersAreInert)
{
    EXPECT_EQ(HtmlEscape("<script>\"x\" & 'y'</script>"),
              "&lt;script&gt;&quot;x&quot; &amp; &#39;y&#39;&lt;/script&gt;");
    EXPECT_EQ(HtmlEscape(std::string("a\x01" "b\n\tc", 6)), "a&#xFFFD;b\n\tc");
    EXPECT_EQ(HtmlEscape(""), "");
}

}  // namespace
}  // namespace swsim
