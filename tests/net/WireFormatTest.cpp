// The page cannot include the server's header, so it keeps its own copy of the wire's
// facts, which must agree with the header's.

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>

#include "WireFormat.h"

namespace {

// Every `export const NAME = EXPRESSION;` whose expression adds and subtracts numbers and
// constants defined above it. Throws on a name it does not know.
std::map<std::string, long> NumericConstants(const std::string& script) {
    const std::regex definition(R"(export const (\w+) = ([\w\s+-]+);)");
    const std::regex term(R"(([+-]?)\s*(\w+))");
    const std::sregex_iterator end;
    std::map<std::string, long> values;
    for (auto found = std::sregex_iterator(script.begin(), script.end(), definition); found != end;
         ++found) {
        const std::string expression = (*found)[2];
        long value = 0;
        for (auto part = std::sregex_iterator(expression.begin(), expression.end(), term);
             part != end; ++part) {
            const std::string word = (*part)[2];
            const long operand = std::isdigit(static_cast<unsigned char>(word[0]))
                                     ? std::stol(word)
                                     : values.at(word);
            value += (*part)[1] == "-" ? -operand : operand;
        }
        values[(*found)[1]] = value;
    }
    return values;
}

TEST(WireFormat, ThePageKeepsTheSameFacts) {
    const char* const path = HALVEX_WEB_DIR "/protocol.js";
    std::ifstream file(path);
    ASSERT_TRUE(file) << "cannot read " << path;
    const auto page = NumericConstants({std::istreambuf_iterator<char>(file), {}});
    EXPECT_EQ(page.at("MaxBodyBytes"), hNet::MaxPacketSize);
    EXPECT_EQ(page.at("MaxTextBytes"), hNet::MaxTextBytes);
}

}  // namespace
