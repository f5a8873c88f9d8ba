// The nesting of XML elements counted on the raw text, before a recursive
// parser sees it.

#include "fund/xml_depth.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using fund::xml_nesting_depth;

std::string Nested(size_t levels) {
    std::string text;
    for (size_t i = 0; i < levels; ++i) text += "<a>";
    for (size_t i = 0; i < levels; ++i) text += "</a>";
    return text;
}

TEST(XmlNestingDepth, CountsElementsOnly) {
    const struct {
        const char* text;
        size_t depth;
    } cases[] = {
        {"", 0},
        {"plain text", 0},
        {"<a/>", 0},
        {"<a></a>", 1},
        {"<?xml version=\"1.0\"?><a><b/><c>x</c></a>", 2},
        {"<a><b><c></c></b><d></d></a>", 3},
        {"<a title=\"<b><c>\" other='>'><d/></a>", 1},
        {"<a><!-- <b><c><d> --></a>", 1},
        {"<a><![CDATA[<b><c>]]></a>", 1},
        {"<!DOCTYPE a [<!ELEMENT a (b)>]><a><b></b></a>", 2},
        {"<a><b /><c x='1'/></a>", 1},
        {"</a></a><b></b>", 1},  // stray end tags do not go below zero
        {"<a><b", 2},            // cut short: measured as far as it goes
        {"<a><!-- never closed <b><c>", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(xml_nesting_depth(c.text, 100), c.depth) << c.text;
}

TEST(XmlNestingDepth, StopsJustPastTheLimit) {
    EXPECT_EQ(xml_nesting_depth(Nested(64), 64), 64u);
    EXPECT_EQ(xml_nesting_depth(Nested(65), 64), 65u);
    // A megabyte nested 300,000 deep is measured without recursion.
    const std::string deep = Nested(300000);
    EXPECT_EQ(xml_nesting_depth(deep, 64), 65u);
    EXPECT_EQ(xml_nesting_depth(deep, 1000000), 300000u);
}

}  // namespace
