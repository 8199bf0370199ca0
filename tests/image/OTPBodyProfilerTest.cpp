#include "image/OTPBodyProfiler.h"
#include "core/Log.h"
#include "image/Acceptance.h"
#include "image/BodyTable.h"
#include "image/ChipBinFiles.h"
#include "tests/support/ProgramFolder.h"

#include <filesystem>
#include <set>

namespace {

class OTPBodyProfilerTest : public testsupport::ProgramFolderTest {
protected:
    void WriteProfile(const std::string& xml) {
        testsupport::ProgramFolder::Write(folder.File("OTPBodyProfile.xml"), xml);
    }
};

TEST_F(OTPBodyProfilerTest, ReadsEveryAttributeWithItsScaling) {
    WriteProfile(R"(<Root><Body BodyID="3" BinSize="3" RomSize="3" OTPSize="4" OTPBinSize="2"
        FwBody="300" ComboName=" KA130 " BodySeries="258" BodyType="4099"/></Root>)");
    image::C_OTPBodyProfiler catalogue;
    ASSERT_EQ(catalogue.GetCount(), 1);
    catalogue.SetCurrentIndex(3);
    EXPECT_EQ(catalogue.GetBinSize(), 6144);
    EXPECT_EQ(catalogue.Find(3)->romSize, 3072);
    EXPECT_EQ(catalogue.GetOTPSize(), 4096);
    EXPECT_EQ(catalogue.GetOTPBinSize(), 8);
    EXPECT_EQ(catalogue.GetFwBody(), 300);
    EXPECT_EQ(catalogue.GetComboName(3), " KA130 ");
    EXPECT_EQ(catalogue.GetBodySeries(), 2);
    EXPECT_EQ(catalogue.GetBodyType(), 4099);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(OTPBodyProfilerTest, BodiesAnywhereInDocumentOrderLaterDuplicatesWin) {
    WriteProfile(R"(<A><Body BodyID="2" ComboName=" two "/>
        <B><C><Body BodyID="1" ComboName=" one " OTPSize="1"/></C></B>
        <Other BodyID="3" ComboName=" ignored "/>
        <Body BodyID="1" ComboName=" again " OTPSize="7"/></A>)");
    image::C_OTPBodyProfiler catalogue;
    EXPECT_EQ(catalogue.GetCount(), 2);
    EXPECT_EQ(catalogue.GetComboName(1), " again ");
    EXPECT_EQ(catalogue.GetComboName(2), " two ");
    EXPECT_EQ(catalogue.GetComboName(3), "");
    catalogue.SetCurrentIndex(1);
    EXPECT_EQ(catalogue.GetOTPSize(), 7 * 1024);
}

TEST_F(OTPBodyProfilerTest, MissingAttributesAndEntriesReadAsZero) {
    WriteProfile(R"(<R><Body BodyID="5"/><Body ComboName=" no id "/></R>)");
    image::C_OTPBodyProfiler catalogue;
    catalogue.SetCurrentIndex(5);
    EXPECT_EQ(catalogue.GetOTPSize(), 0);
    EXPECT_EQ(catalogue.GetComboName(5), "");
    // An element without BodyID is the entry of index 0.
    EXPECT_EQ(catalogue.GetComboName(0), " no id ");
    catalogue.SetCurrentIndex(9);
    EXPECT_EQ(catalogue.GetOTPSize(), 0);
    EXPECT_EQ(catalogue.GetBodyType(), 0);
    EXPECT_EQ(catalogue.GetBodySeries(), 0);
}

TEST_F(OTPBodyProfilerTest, NonNumericNumbersReadAsTheirLeadingDigits) {
    WriteProfile(R"(<R><Body BodyID="4" OTPSize="12kB" BinSize="x" FwBody="-3"
        OTPBinSize="1"/></R>)");
    image::C_OTPBodyProfiler catalogue;
    catalogue.SetCurrentIndex(4);
    EXPECT_EQ(catalogue.GetOTPSize(), 12 * 1024);
    EXPECT_EQ(catalogue.GetBinSize(), 0);
    EXPECT_EQ(catalogue.GetFwBody(), -3);
    EXPECT_EQ(catalogue.GetOTPBinSize(), 12);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(image::ParseProfileInt("  +17x"), 17);
    EXPECT_EQ(image::ParseProfileInt("-99999999999"), -2147483647 - 1);
    EXPECT_EQ(image::ParseProfileInt(""), 0);
    EXPECT_EQ(image::ParseProfileInt(nullptr), 0);
}

TEST_F(OTPBodyProfilerTest, SizesNoWriterCanHoldRefuseThatBodyWithTheReason) {
    testsupport::ProgramFolder::Write(folder.SettingsPath(), "[General]\nLogFuncEn=1\n");
    WriteProfile("<R>\n<Body BodyID=\"1\" ComboName=\" one \" OTPSize=\"4\"/>\n"
                 "<Body BodyID=\"2\" ComboName=\" two \" OTPSize=\"99999999999\" "
                 "OTPBinSize=\"1\" FwBody=\"7\"/>\n"
                 "<Body BodyID=\"3\" OTPSize=\"16384\" OTPBinSize=\"2\"/>\n"
                 "<Body BodyID=\"4\" RomSize=\"-1\"/>\n</R>\n");
    image::C_OTPBodyProfiler catalogue;
    ASSERT_EQ(catalogue.GetCount(), 4);
    EXPECT_EQ(catalogue.GetComboName(2), " two ");
    catalogue.SetCurrentIndex(2);
    EXPECT_EQ(catalogue.GetOTPSize(), 0);
    EXPECT_EQ(catalogue.GetOTPBinSize(), 0);
    EXPECT_EQ(catalogue.GetFwBody(), 7);
    catalogue.SetCurrentIndex(3); // 16 MiB of OTP is fine, twice that to read back is not
    EXPECT_EQ(catalogue.GetOTPSize(), 0);
    catalogue.SetCurrentIndex(1);
    EXPECT_EQ(catalogue.GetOTPSize(), 4096);
    const std::string path = folder.File("OTPBodyProfile.xml");
    ASSERT_EQ(catalogue.Problems().size(), 3u);
    EXPECT_EQ(catalogue.Problems()[0],
              path + ", line 3: body 2: OTPSize=\"99999999999\" makes a size outside 0 to "
                     "16777216 bytes; the body's sizes read as 0");
    EXPECT_NE(catalogue.Problems()[1].find(", line 4: body 3: OTPBinSize=\"2\""),
              std::string::npos);
    EXPECT_NE(catalogue.Problems()[2].find(", line 5: body 4: RomSize=\"-1\""), std::string::npos);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Faild to load OTPBodyProfile.xml !");
    const std::string log = testsupport::ProgramFolder::Read(core::C_LogFunc().FilePath());
    EXPECT_NE(log.find(catalogue.Problems()[0]), std::string::npos);
}

TEST_F(OTPBodyProfilerTest, MissingOrBrokenFileShowsTheMessageAndLeavesItEmpty) {
    {
        image::C_OTPBodyProfiler catalogue;
        EXPECT_EQ(catalogue.GetCount(), 0);
        ASSERT_EQ(catalogue.Problems().size(), 1u);
        EXPECT_NE(catalogue.Problems()[0].find("cannot be read"), std::string::npos);
    }
    WriteProfile("<R>\n<Body BodyID=\"1\">\n</R>");
    image::C_OTPBodyProfiler broken;
    EXPECT_EQ(broken.GetCount(), 0);
    ASSERT_EQ(broken.Problems().size(), 1u);
    // The description is the platform parser's own wording.
    const std::string where = folder.File("OTPBodyProfile.xml") + ", line 3: ";
    EXPECT_EQ(broken.Problems()[0].rfind(where, 0), 0u) << broken.Problems()[0];
    EXPECT_GT(broken.Problems()[0].size(), where.size());
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, "Faild to load OTPBodyProfile.xml !");
    EXPECT_EQ(boxes.shown[1].text, "Faild to load OTPBodyProfile.xml !");
    EXPECT_EQ(boxes.shown[1].flags, static_cast<unsigned>(core::kMbOk));
}

TEST_F(OTPBodyProfilerTest, FindBodyTakesTheLowestMatchingIndex) {
    WriteProfile(R"(<R>
        <Body BodyID="0" BodyType="7" BodySeries="1"/>
        <Body BodyID="9" BodyType="7" BodySeries="257"/>
        <Body BodyID="4" BodyType="7" BodySeries="1"/>
        <Body BodyID="35" BodyType="8" BodySeries="1"/></R>)");
    EXPECT_EQ(image::FindBody(7, 1), 4);
    EXPECT_EQ(image::FindBody(6, 1), 0);
    EXPECT_EQ(image::FindBody(7, 2), 0);
    EXPECT_EQ(image::FindBody(8, 1), 0); // beyond 34
    WriteProfile(R"(<R><Body BodyID="2" BodyType="7" BodySeries="1"/></R>)");
    EXPECT_EQ(image::FindBody(7, 1), 2); // read from disk again
}

class ShippedProfileTest : public testsupport::ProgramFolderTest {
protected:
    void SetUp() override {
        std::filesystem::copy_file(BURNWRIGHT_SHIPPED_PROFILE, folder.File("OTPBodyProfile.xml"));
    }
};

TEST_F(ShippedProfileTest, DefinesEveryBodyWithItsListName) {
    image::C_OTPBodyProfiler catalogue;
    EXPECT_TRUE(boxes.shown.empty());
    ASSERT_EQ(catalogue.GetCount(), 35);
    for (int index = 1; index <= 34; ++index)
        EXPECT_EQ(catalogue.GetComboName(index), image::DefaultBodyName(index));
    for (const char* name :
         {" KL500 ", " KS300 ",      " KR140 ",       " KR130 ", " KR110 ", " KT330 ", " KT320 ",
          " KT310 ", " KT310-SOP8 ", " KT310-SOP14 ", " KT240 ", " KT260 ", " KT250 ", " KT250S ",
          " KT230 ", " KT220 ",      " KT210 ",       " KT700 ", " KM110 ", " KM140 ", " KM120 ",
          " KM130 ", " KW140 ",      " KW130 ",       " KW120 ", " KW110 "}) {
        int found = 0;
        for (int index = 1; index <= 34; ++index)
            found += catalogue.GetComboName(index) == name;
        EXPECT_EQ(found, 1) << name;
    }
}

TEST_F(ShippedProfileTest, SizesCoverTheImagesAndCodesFindEveryBody) {
    image::C_OTPBodyProfiler catalogue;
    std::set<int> fwBodies;
    for (int index = 1; index <= 34; ++index) {
        SCOPED_TRACE(index);
        catalogue.SetCurrentIndex(index);
        const image::BodyLayout& layout = *image::FindBodyLayout(index);
        // The largest chip image the body builds from a file it accepts.
        const image::SizeRule& sizes = *image::FindSizeRule(index);
        int64_t largestFile = sizes.upTo;
        for (const image::SizeRule* r = &sizes; r;
             r = r->alsoIndex ? image::FindSizeRule(r->alsoIndex) : nullptr)
            for (uint32_t length : r->lengths)
                largestFile = std::max<int64_t>(largestFile, length);
        const int64_t chip = layout.units ? layout.units : largestFile / 4 * 3;
        // Bodies 2 to 5 keep the plain layout, whose units are 24-bit words.
        const int64_t bytesPerAddress = layout.units || index == 1 || index == 6 ? 1 : 3;
        EXPECT_GE(catalogue.GetOTPSize() * bytesPerAddress, chip);
        EXPECT_LT((catalogue.GetOTPSize() - 1024) * bytesPerAddress, chip) << "rounded up";
        EXPECT_EQ(int64_t{catalogue.GetOTPBinSize()} * 1024,
                  catalogue.GetOTPSize() * bytesPerAddress);
        EXPECT_TRUE(fwBodies.insert(catalogue.GetFwBody() & 0xFF).second);
        EXPECT_EQ(image::FindBody(static_cast<uint16_t>(catalogue.GetBodyType()),
                                  catalogue.GetBodySeries()),
                  index);
    }
}

} // namespace
