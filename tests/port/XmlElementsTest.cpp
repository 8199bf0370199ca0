#include "port/XmlElements.h"

#include <gtest/gtest.h>

namespace {

TEST(XmlElements, ElementsOfOneNameAtAnyDepthWithTheirLinesAndAttributes) {
    const std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                             "<!-- <Body BodyID=\"9\"/> in a comment is no element -->\n"
                             "<Root>\n"
                             "  <Body BodyID=\"1\" ComboName=\"a &amp; b\"/>\n"
                             "  <Group>\n"
                             "    <Body BodyID=\"2\" ComboName=\"\xC3\xA9\"></Body>\n"
                             "    <Bodies BodyID=\"3\"/>\n"
                             "  </Group>\n"
                             "  <Body/>\n"
                             "</Root>\n";
    std::vector<port::XmlElement> elements;
    port::XmlError error;
    ASSERT_TRUE(port::ReadXmlElements(text, "Body", elements, error)) << error.description;
    ASSERT_EQ(elements.size(), 3u);
    EXPECT_EQ(elements[0].line, 4u);
    EXPECT_EQ(elements[0].attributes,
              (port::XmlAttributes{{"BodyID", "1"}, {"ComboName", "a & b"}}));
    EXPECT_EQ(elements[1].line, 6u);
    EXPECT_EQ(elements[1].attributes.at("ComboName"), "\xC3\xA9");
    EXPECT_EQ(elements[2].line, 9u);
    EXPECT_TRUE(elements[2].attributes.empty());
}

TEST(XmlElements, DocumentWithoutDeclarationOrFinalLineBreak) {
    std::vector<port::XmlElement> elements;
    port::XmlError error;
    ASSERT_TRUE(port::ReadXmlElements("<R><Body A=\"1\"\n    B=\"2\"/><Body/></R>", "Body",
                                      elements, error))
        << error.line << ": " << error.description;
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements[0].attributes, (port::XmlAttributes{{"A", "1"}, {"B", "2"}}));
}

TEST(XmlElements, BrokenDocumentGivesTheLineAndNoElements) {
    std::vector<port::XmlElement> elements{port::XmlElement{}};
    port::XmlError error;
    EXPECT_FALSE(port::ReadXmlElements("<R>\n<Body BodyID=\"1\"/>\n<Body>\n</R>\n", "Body",
                                       elements, error));
    EXPECT_TRUE(elements.empty());
    EXPECT_EQ(error.line, 4u);
    EXPECT_FALSE(error.description.empty());

    EXPECT_FALSE(port::ReadXmlElements("", "Body", elements, error));
    EXPECT_FALSE(error.description.empty());
}

} // namespace
