// The command-line scanner and parameter reader, over raw command lines of every shape.
#include <gtest/gtest.h>

#include "cmdline/cmdline.h"
#include "tests/unit/fake_platform.h"

namespace {

std::string Take(char *parameter)
{
    std::string text = parameter;
    HeapFree(GetProcessHeap(), 0, parameter);
    return text;
}

// Every parameter of `line`, read as a caller walking the cursor would: index 0, then onward
// until a read leaves the cursor where it was.
std::vector<std::string> ReadAll(const std::string &line)
{
    fake::Reset();
    fake::world.command_line = line;
    std::vector<std::string> parameters;
    int32_t before = 0;
    std::string text = Take(ReadParameter(0));
    while (parameter_cursor != before && parameters.size() < 16) {
        parameters.push_back(text);
        before = parameter_cursor;
        text = Take(ReadParameter(-1));
    }
    EXPECT_EQ(text, "") << "a read that finds nothing gives the empty string";
    return parameters;
}

struct LineCase {
    const char *name;
    std::string line;
    std::vector<std::string> parameters;
};

const LineCase kLines[] = {
    {"plain", "prog.exe song.mp3", {"song.mp3"}},
    {"quoted program and path",
     "\"C:\\Tools\\prog.exe\" \"D:\\My Music\\a b.mp3\"",
     {"D:\\My Music\\a b.mp3"}},
    {"extra and trailing spaces", "\"C:\\Tools\\prog.exe\"  x.mp3   ", {"x.mp3"}},
    {"leading spaces", "  prog.exe   a.mp3  ", {"a.mp3"}},
    {"program only", "prog.exe", {}},
    {"program and spaces", "prog.exe    ", {}},
    {"empty line", "", {}},
    {"spaces only", "   ", {}},
    {"quoted program with a space", "\"My Tools\\prog.exe\" a", {"a"}},
    {"empty pair", "prog.exe \"\"", {""}},
    {"empty pair then more", "prog.exe \"\" y", {"", "y"}},
    {"pair then lone quote", "prog.exe \"\"\"", {"", ""}},
    {"lone quote at the end", "prog.exe \"", {""}},
    {"unterminated quote", "prog.exe \"a b", {"a b"}},
    {"closing quote glued to the next token", "prog.exe \"a b\"c", {"a b", "c"}},
    {"quote glued to the program name", "\"prog.exe\"\"x.mp3\"", {"x.mp3"}},
    {"quote inside a bare token", "prog.exe ab\"c d\"", {"ab\"c", "d\""}},
    {"backslash before a quote in a bare token", "prog.exe a\\\"b c\"", {"a\\\"b", "c\""}},
    {"backslash before a quote in a quoted token", "prog.exe \"a\\\"b c", {"a\\", "b", "c"}},
    {"quote after the program name opens nothing", "prog.exe\"a b\" c", {"b\"", "c"}},
    {"tab is no separator", "prog.exe a\tb", {"a\tb"}},
    {"CR, LF and 0xA0 are no separators", "prog.exe a\r\nb\xA0z d", {"a\r\nb\xA0z", "d"}},
    {"second parameter", "prog.exe a.mp3 b.mp3", {"a.mp3", "b.mp3"}},
};

TEST(ReadParameter, SplitsLikeTheSystemShell)
{
    for (const LineCase &c : kLines)
        EXPECT_EQ(ReadAll(c.line), c.parameters) << c.name << ": [" << c.line << "]";
    EXPECT_EQ(fake::live_blocks, 0);
}

TEST(ReadParameter, MovesTheCursorOnlyPastWhatItFound)
{
    struct {
        const char *name;
        int32_t cursor_before, index;
        const char *expected;
        int32_t cursor_after;
    } const cases[] = {
        {"index 0 found", 7, 0, "a", 1},
        {"index 2 found", 0, 2, "c", 3},
        {"index past the end", 0, 5, "", 5},
        {"negative index reads at the cursor", 1, -1, "b", 2},
        {"negative index at the end", 3, -4, "", 3},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::world.command_line = "prog.exe a b c";
        parameter_cursor = c.cursor_before;
        EXPECT_EQ(Take(ReadParameter(c.index)), c.expected) << c.name;
        EXPECT_EQ(parameter_cursor, c.cursor_after) << c.name;
    }
}

TEST(ReadParameter, FailedAllocationGivesNullAndKeepsTheCursor)
{
    fake::Reset();
    fake::world.command_line = "prog.exe a";
    fake::world.allocation_fails = true;
    parameter_cursor = 3;
    EXPECT_EQ(ReadParameter(0), nullptr);
    EXPECT_EQ(parameter_cursor, 0);
}

TEST(ScanCommandLine, TokensPointIntoTheLineWithoutTheirQuotes)
{
    fake::Reset();
    fake::world.command_line = "\"p q\" \"a b\"c";
    const char *line = fake::world.command_line.c_str();
    struct {
        int32_t wanted, start, length;
    } const cases[] = {{-1, 1, 3}, {0, 7, 3}, {1, 11, 1}};
    for (const auto &c : cases) {
        Token token = ScanCommandLine(c.wanted);
        EXPECT_EQ(token.start - line, c.start) << "token " << c.wanted;
        EXPECT_EQ(token.length, c.length) << "token " << c.wanted;
    }
    EXPECT_EQ(ScanCommandLine(2).start, nullptr);
    EXPECT_EQ(ScanCommandLine(-2).start, nullptr);
}

}  // namespace
